#pragma once

// glibc's explicit_bzero (wipes memory in a way the compiler does not drop)
// and memrchr (the last occurrence of a byte).
#include <cstring>
