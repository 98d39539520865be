* An item in a letter: the title of its record and its numbers.
BIB$a
'Mediennummer: ' 200 | 'Signatur: ' 210
