* Below a printed title list.
'Ende der Liste'
