* Claim letter, the vendor (merged with its address record): name and
* address.
100
311$a
311$b
