// libquillden.so is made of quillden_core taken whole; this file only gives the shared library
// target a source of its own.
