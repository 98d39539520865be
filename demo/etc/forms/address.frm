* An address in a letter: street, town; the e-mail address when there is one.
311$a
311$b
'E-Mail: ' 312$h
