// The compiler runtime's default handler for an uncaught C++ exception prints
// the exception's demangled type name, which links in a demangler and a
// printf family of about 100 KB.  No exception may leave these programs (the
// library converts every error at its interface), so the plain handler is
// enough: it ends the process as the default one does.

#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
} // namespace __gnu_cxx
