// Revision identifiers of the library's two source modules, fixed at build
// time and shown by the program's version report.
#include "libhfs/libhfs.h"

const char hfslib_rcsid_libhfs[] = "libhfs quorvel-" QUORVEL_VERSION;
const char hfslib_rcsid_unicode[] = "unicode quorvel-" QUORVEL_VERSION;
