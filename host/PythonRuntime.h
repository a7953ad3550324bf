// PythonRuntime.h - the embedded Python 3 interpreter of qmr-host: started from a python3-style
// command line, with the qmr package on sys.path, a hook that runs the host's teardown when the
// script is done, and Py_RunMain to run the script, -c code, module or prompt.
//
// All functions run on the main thread; between startPython() and runPython() that thread holds
// the interpreter lock.
#ifndef QMR_HOST_PYTHONRUNTIME_H
#define QMR_HOST_PYTHONRUNTIME_H

#include <string>
#include <vector>

namespace qmr_host {

// Initialises the interpreter with sys.argv and the interpreter flags taken from `args` as
// python3 takes them. Returns -1 on success; otherwise the interpreter did not start (bad
// Python option, or an error already printed) and the value is the exit status to use.
int startPython(const std::string& program, const std::vector<std::string>& args);

// Puts the folders of $QMR_PYTHONPATH (colon-separated), then the built-in package folder,
// at the front of sys.path. Returns the folders, for messages.
std::vector<std::string> addPackagePath();

// True if module `name` imports and its attribute `attribute` is not None. On false, *error
// says why (the Python exception text).
bool moduleAttributeSet(const char* name, const char* attribute, std::string* error);

// Registers `teardown` with Python's atexit so that it runs after the script and its own exit
// handlers, before the interpreter goes away. False (Python error printed) if that failed.
bool runAtExit(void (*teardown)());

// Runs the command line given to startPython() and finalises the interpreter. Returns the exit
// status of the script.
int runPython();

// Finalises an interpreter that never ran (start-up failed after startPython()).
void stopPython();

}  // namespace qmr_host

#endif  // QMR_HOST_PYTHONRUNTIME_H
