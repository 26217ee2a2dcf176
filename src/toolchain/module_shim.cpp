// An extension module that holds no C++ of its own, for a build whose C++
// runtime is linked statically (the release wheel, built with zig): each
// shared library would otherwise carry a private copy of the runtime, and an
// exception thrown in one (the engine) would not be caught in another (the
// bindings), whose copy has other type information. Such a build puts the
// bindings into the engine's library, where PYBIND11_MODULE's init function
// is renamed quorvi_PyInit_<name> (CMakeLists.txt); this file, compiled with
// QUORVI_MODULE=<name>, is the module's PyInit_<name> and hands over to it.
#include <Python.h>

#define QUORVI_PASTE(prefix, name) prefix##name
#define QUORVI_INIT(prefix, name) QUORVI_PASTE(prefix, name)

extern "C" PyObject* QUORVI_INIT(quorvi_PyInit_, QUORVI_MODULE)();

PyMODINIT_FUNC QUORVI_INIT(PyInit_, QUORVI_MODULE)() { return QUORVI_INIT(quorvi_PyInit_, QUORVI_MODULE)(); }
