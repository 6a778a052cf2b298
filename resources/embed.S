// Places the compiled .res in the "hostwin_res" section of every host executable that links
// this object; hostwin finds it through the linker's __start_/__stop_ symbols.
    .section hostwin_res, "a"
    .balign 16
    .incbin TOLLIVAR_RES_FILE
    .section .note.GNU-stack, "", @progbits
