* Claim letter, one line per order: its number, the claim's number and
* the date the claim fell due.
'Bestellung ' 102.1 | 'Reklamation Nr. ' CLF | 'fällig seit: ' 149
