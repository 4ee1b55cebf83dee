// The interpreter's messages for calls that do not fit a signature, and the
// text signatures of the module's functions.
#include "binding/args.h"

#include <cstdio>

namespace varnhold {

namespace detail {

void raise_too_many(const char* qualname, int self_count, int lo, int hi, Py_ssize_t given,
                    int kwonly_given) {
  (void)self_count;
  Ref sig_text = check(lo == hi ? PyUnicode_FromFormat("%d", hi)
                                : PyUnicode_FromFormat("from %d to %d", lo, hi));
  bool plural = lo != hi || hi != 1;
  Ref kwonly_text = check(
      kwonly_given ? PyUnicode_FromFormat(" positional argument%s (and %d keyword-only argument%s)",
                                          given != 1 ? "s" : "", kwonly_given,
                                          kwonly_given != 1 ? "s" : "")
                   : PyUnicode_FromString(""));
  raise_format(PyExc_TypeError, "%s() takes %U positional argument%s but %zd%U %s given", qualname,
               sig_text.get(), plural ? "s" : "", given, kwonly_text.get(),
               given == 1 && !kwonly_given ? "was" : "were");
}

void raise_missing(const char* qualname, const Param* params, const bool* missing,
                   int n_required) {
  int count = 0;
  for (int j = 0; j < n_required; ++j) count += missing[j];
  // "missing 2 required positional arguments: 'a' and 'b'"
  Ref names = check(PyUnicode_FromString(""));
  int seen = 0;
  for (int j = 0; j < n_required; ++j) {
    if (!missing[j]) continue;
    ++seen;
    const char* sep = seen == 1 ? "" : (seen == count ? (count > 2 ? ", and " : " and ") : ", ");
    Ref part = check(PyUnicode_FromFormat("%s'%s'", sep, params[j].name));
    names = check(PyUnicode_Concat(names.get(), part.get()));
  }
  raise_format(PyExc_TypeError, "%s() missing %d required positional argument%s: %U", qualname,
               count, count == 1 ? "" : "s", names.get());
}

void raise_unexpected(const char* qualname, PyObject* key) {
  raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", qualname, key);
}

void raise_multiple(const char* qualname, const char* name) {
  raise_format(PyExc_TypeError, "%s() got multiple values for argument '%s'", qualname, name);
}

}  // namespace detail

std::string text_signature(const char* name, const char* self, const Param* params, size_t n,
                           int n_kwonly, const char* doc) {
  std::string out = name;
  out += '(';
  out += self;
  out += ", /";
  const size_t first_kwonly = n - static_cast<size_t>(n_kwonly);
  for (size_t i = 0; i < n; ++i) {
    out += i == first_kwonly ? ", *, " : ", ";
    out += params[i].name;
    const Default& d = params[i].dflt;
    switch (d.kind) {
      case Default::kRequired: break;
      case Default::kNone: out += "=None"; break;
      case Default::kFalse: out += "=False"; break;
      case Default::kZero: out += "=0"; break;
      case Default::kFloat: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "=%.17g", d.value);
        out += buf;
        if (out.find_first_of(".e", out.rfind('=')) == std::string::npos) out += ".0";
        break;
      }
    }
  }
  out += ")\n--\n\n";
  out += doc;
  return out;
}

}  // namespace varnhold
