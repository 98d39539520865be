* Sort form 002: the first author.
100.1$a
