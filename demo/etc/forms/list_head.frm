* Above a printed title list: the number of titles.
'Titelliste, ' @TOTAL ' Titel'
