# gridenlarger's own parts of its manual page, man/program.1.in, in roff.
set(PAGE_SUMMARY "switch the Nolix Talvik Editor to a larger grid range and back")
set(PAGE_CHANGE [[so that its grid reaches further: the extent 4096 becomes 16384 (and \-4096
becomes \-16384), the size limit 10000 becomes 20000, and the finest and
coarsest grid steps, 0.03125 and 256, are halved.
It rewrites these seven numbers in the editor's code and data, in place.]])
set(PAGE_WITHOUT_FILE "Without it the program asks for the file and prints the path chosen")
set(PAGE_CHOICE "Press 2 to enlarge the range of grid")
set(PAGE_MODIFIED "switches it to the enlarged grid range")
set(PAGE_MARKS [[the text
.BR 220 ,
a NUL byte, the text
.B mapversion
and two NUL bytes, 16 bytes at offset 0xD4480; for 3.4, at 0xD3470.]])
set(PAGE_OTHER fpenabler)
