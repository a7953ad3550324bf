// PythonRuntime.cc - start, extend, run and stop the embedded interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "PythonRuntime.h"

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace qmr_host {

namespace {

void (*g_teardown)() = nullptr;

PyObject* teardownHook(PyObject* /*self*/, PyObject* /*args*/) {
  if (g_teardown != nullptr) {
    void (*teardown)() = g_teardown;
    g_teardown = nullptr;
    teardown();
  }
  Py_RETURN_NONE;
}

PyMethodDef g_teardownDef = {"_qmr_host_teardown", teardownHook, METH_NOARGS,
                             "Ends the data store session of qmr-host (runs once, at exit)."};

std::vector<std::string> splitPath(const char* text) {
  std::vector<std::string> parts;
  if (text == nullptr) return parts;
  std::string all(text);
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find(':', start);
    if (end == std::string::npos) end = all.size();
    if (end > start) parts.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The path of this program's file (resolved through /proc/self/exe), or "" if unknown.
std::string programFile() {
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return std::string();
  return std::string(self, static_cast<size_t>(n));
}

// The message of the pending Python exception (cleared), e.g. "ModuleNotFoundError: ...".
std::string takeErrorText() {
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  std::string text = "unknown Python error";
  if (value != nullptr) {
    PyObject* str = PyObject_Str(value);
    const char* utf8 = str != nullptr ? PyUnicode_AsUTF8(str) : nullptr;
    text = std::string(type != nullptr ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "?") +
           ": " + (utf8 != nullptr ? utf8 : "?");
    Py_XDECREF(str);
    PyErr_Clear();
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(trace);
  return text;
}

}  // namespace

int startPython(const std::string& program, const std::vector<std::string>& args) {
  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  PyStatus status =
      PyConfig_SetBytesArgv(&config, static_cast<Py_ssize_t>(argv.size()), argv.data());
  // sys.executable is this program, so that scripts which start "themselves" start the host.
  std::string self = programFile();
  if (!self.empty() && !PyStatus_Exception(status)) {
    status = PyConfig_SetBytesString(&config, &config.executable, self.c_str());
  }
  if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (!PyStatus_Exception(status)) return -1;
  if (PyStatus_IsExit(status)) return status.exitcode;  // e.g. a bad Python option, or -V
  std::fprintf(stderr, "%s: the Python interpreter did not start: %s%s%s\n", program.c_str(),
               status.func != nullptr ? status.func : "", status.func != nullptr ? ": " : "",
               status.err_msg != nullptr ? status.err_msg : "unknown error");
  return 1;
}

std::vector<std::string> addPackagePath() {
  std::vector<std::string> dirs = splitPath(std::getenv("QMR_PYTHONPATH"));
  std::string self = programFile();
  if (!self.empty()) dirs.push_back(self.substr(0, self.rfind('/') + 1) + QMR_PYTHON_RELDIR);
  PyObject* path = PySys_GetObject("path");  // borrowed
  if (path == nullptr || !PyList_Check(path)) return dirs;
  Py_ssize_t at = 0;
  for (const std::string& dir : dirs) {
    PyObject* item = PyUnicode_DecodeFSDefault(dir.c_str());
    if (item == nullptr || PyList_Insert(path, at++, item) < 0) PyErr_Print();
    Py_XDECREF(item);
  }
  return dirs;
}

bool moduleAttributeSet(const char* name, const char* attribute, std::string* error) {
  PyObject* module = PyImport_ImportModule(name);
  if (module == nullptr) {
    *error = takeErrorText();
    return false;
  }
  PyObject* value = PyObject_GetAttrString(module, attribute);
  Py_DECREF(module);
  if (value == nullptr) {
    *error = takeErrorText();
    return false;
  }
  bool set = value != Py_None;
  Py_DECREF(value);
  if (!set) *error = std::string(name) + "." + attribute + " is None";
  return set;
}

bool runAtExit(void (*teardown)()) {
  g_teardown = teardown;
  PyObject* hook = PyCFunction_New(&g_teardownDef, nullptr);
  PyObject* atexit = hook != nullptr ? PyImport_ImportModule("atexit") : nullptr;
  PyObject* result =
      atexit != nullptr ? PyObject_CallMethod(atexit, "register", "O", hook) : nullptr;
  Py_XDECREF(atexit);
  Py_XDECREF(hook);
  if (result == nullptr) {
    PyErr_Print();
    return false;
  }
  Py_DECREF(result);
  return true;
}

int runPython() { return Py_RunMain(); }

void stopPython() { Py_FinalizeEx(); }

}  // namespace qmr_host
