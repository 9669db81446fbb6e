// Owned references and buffer views: RAII holders that release what they hold on
// every path. No module state; any extension of the package may include this.
#ifndef VEXA_PYREF_H
#define VEXA_PYREF_H

#include <Python.h>

namespace vexa {

// Owns one strong reference; releases it when it goes out of scope.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject *o) : p_(o) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }
    void reset(PyObject *o) {
        Py_XDECREF(p_);
        p_ = o;
    }
    PyObject *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject *p_ = nullptr;
};

// An acquired buffer of one dimension; released when it goes out of scope.
struct View {
    Py_buffer buf{};
    bool held = false;
    Py_ssize_t count = 0;
    View() = default;
    View(const View &) = delete;
    View &operator=(const View &) = delete;
    ~View() {
        if (held) PyBuffer_Release(&buf);
    }
};

}  // namespace vexa

#endif
