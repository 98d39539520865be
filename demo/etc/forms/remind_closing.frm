* The closing words of a reminder letter.
'Bitte geben Sie die Medien bald zurück oder verlängern Sie die Leihfrist.'
'Ihre Stadtbibliothek Beispielstadt'
