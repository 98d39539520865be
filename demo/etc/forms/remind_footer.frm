* Reminder letter, closing sums: the fines of this letter (F01), the
* postage (F02) and all that is open including the postage (F03).
'Mahngebühren: ' F01 ' EUR'
'Porto: ' F02 ' EUR'
'Offener Betrag mit Porto: ' F03 ' EUR'
