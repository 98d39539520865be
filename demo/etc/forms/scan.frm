* Term browsing: the number of records and the term.
CNT | TRM
