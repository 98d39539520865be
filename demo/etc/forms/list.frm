* One row per hit in result lists: position, title and author, year.
@NO | 245$a ' / ' 100.1$a | 260$c
