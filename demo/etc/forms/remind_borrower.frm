* Reminder letter, borrower part (a record of USERS with the run date in
* D01): name, card number and date. The address follows through the link
* ADR (form ADDRESS of ADDRS).
100
'Ausweis: ' 200
'Datum: ' D01
