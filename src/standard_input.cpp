#include "standard_input.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

std::FILE* binary_standard_input() {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    return stdin;
}
