* How a result set is sorted: the sort forms and the direction.
SC1 ', ' SC2 ', ' SC3 ' (' DIR ')'
