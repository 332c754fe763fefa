# fpenabler's own parts of its manual page, man/program.1.in, in roff.
set(PAGE_SUMMARY [[switch the Nolix Talvik Editor to eight\-decimal brush coordinates]])
set(PAGE_CHANGE [[so that the editor writes the point coordinates of brush faces into its map
files with eight decimal places
.RB ( %.8f )
instead of as whole numbers
.RB ( %.0f ).
It changes the editor's two face output formats and two bytes of its code,
in place, and nothing else.]])
set(PAGE_WITHOUT_FILE [[Without it the program prints
.BR "Path of talvik.exe:" ,
asks for the file, and prints the path chosen]])
set(PAGE_CHOICE "Press 2 to enable floating point coordinates output")
set(PAGE_MODIFIED [[switches it to eight\-decimal coordinates]])
set(PAGE_OTHER gridenlarger)
