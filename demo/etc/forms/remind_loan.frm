* Reminder letter, one line per loan: due date and the fine of this
* reminder (F01, present only while the letter is written). The item
* follows through the link ITM (form REMIND of ITEMS).
'Fällig seit: ' 103 | 'Gebühr: ' F01 ' EUR'
