* Sort form 001: the title proper.
245$a
