# fpenabler's own parts of its manual page, man/program.1.in, in roff.
set(PAGE_SUMMARY [[switch the Nolix Talvik Editor to eight\-decimal brush coordinates and back]])
set(PAGE_CHANGE [[so that the editor writes the point coordinates of brush faces into its map
files with eight decimal places
.RB ( %.8f )
instead of as whole numbers
.RB ( %.0f ):
it rewrites the editor's two face output formats and two bytes of its code,
in place.]])
set(PAGE_WITHOUT_FILE [[Without it the program prints
.BR "Path of talvik.exe:" ,
asks for the file, and prints the path chosen]])
set(PAGE_CHOICE "Press 2 to enable floating point coordinates output")
set(PAGE_MODIFIED [[switches it to eight\-decimal coordinates]])
set(PAGE_MARKS [[the text
.BR 220 ,
a NUL byte, the text
.B mapversion
and a NUL byte, 15 bytes at offset 0xD4480, and the two bytes 75 CD (the
jump that closes the coordinate loop) at 0x277D3; for 3.4, at 0xD3470 and
0x27473.]])
set(PAGE_OTHER gridenlarger)
