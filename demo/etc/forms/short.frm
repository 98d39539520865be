* Short display of a title: one line per part, shown only when present.
'Titel: ' 245$a ' : ' 245$b ' / ' 245$c
'Verfasser: ' 100$a+' ; '
'Ausgabe: ' 250
'Erschienen: ' 260$a ' : ' 260$b ', ' 260$c
'Umfang: ' 300
'ISBN: ' 020$a+' ; '
'Schlagwörter: ' 650$a+' ; '
'Satznummer: ' @IDN
