// Request token estimate.
//
// The body is read in place: a string contributes only its length in code
// points, lists are walked by index (re-reading their size at every step, as
// a list iterator does) and nothing is copied, converted or wrapped. The walk
// has a fixed depth (a tokenizable value, its items, their elements, and the
// parts of a list found there), so no nesting can exhaust the C stack.
//
// Type tests are isinstance tests: subclasses are accepted, bool counts as
// an int, a tuple is not a list and a float is not an int. A dict subclass
// answers `.get`, `in` and `[]` through its own methods, a list subclass is
// iterated through its own iterator and a str subclass measured by its own
// __len__.
#include "varnhold/token_estimate.h"

#include "varnhold/rules.h"

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

namespace varnhold {

namespace {

__extension__ typedef unsigned __int128 u128;
__extension__ typedef __int128 i128;

// The three running counts of one call. Characters are kept in 128 bits so
// that no body, however many times it repeats one huge string, wraps them.
struct Counts {
  ModuleState* st;
  u128 chars = 0;
  uint64_t token_ids = 0;
  uint64_t images = 0;
  // Set once a subclass or other foreign object had its methods called:
  // from then on the body's keys are looked up at the moment they are read.
  bool ran_code = false;

  // isinstance(o, type) after the type check itself said no.
  bool by_class(PyObject* o, PyTypeObject* type) {
    if (!is_foreign(o)) return false;
    ran_code = true;
    return instance_by_class(o, type);
  }
  bool is_str(PyObject* o) { return PyUnicode_Check(o) || by_class(o, &PyUnicode_Type); }
  bool is_list(PyObject* o) { return PyList_Check(o) || by_class(o, &PyList_Type); }
  bool is_dict(PyObject* o) { return PyDict_Check(o) || by_class(o, &PyDict_Type); }
  bool is_int(PyObject* o) { return PyLong_Check(o) || by_class(o, &PyLong_Type); }
};

// Holds an item of a list while it is read, when reading it can run code
// (an instance of a host class); the built-in types need no reference.
inline Ref hold_if_foreign(PyObject* o) { return is_foreign(o) ? Ref::borrow(o) : Ref(); }

// len(s) of text.
inline Py_ssize_t text_length(Counts& c, PyObject* s) {
  if (PyUnicode_CheckExact(s)) return PyUnicode_GET_LENGTH(s);
  c.ran_code = true;
  Ref hold = Ref::borrow(s);
  return check_size(PyObject_Size(s));
}

// d.get(key) of a dict (NULL when an exact dict lacks the key).
inline Ref field(Counts& c, PyObject* d, PyObject* key) {
  if (!PyDict_CheckExact(d)) c.ran_code = true;
  return dict_get(d, key, c.st->s_get);
}

// f(item) for each element of a list in order. Items of an exact list are
// borrowed: f takes its own reference before running anything that could
// change the list.
template <class F>
void for_each_item(Counts& c, PyObject* list, F&& f) {
  if (PyList_CheckExact(list)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) f(PyList_GET_ITEM(list, i));
    return;
  }
  c.ran_code = true;
  Ref it = check(PyObject_GetIter(list));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item = Ref::steal(raw);
    f(item.get());
  }
  if (PyErr_Occurred()) throw PyError();
}

enum class PartKind { kOther, kText, kImage };

template <size_t N>
inline bool bytes_equal(const char* data, const char (&lit)[N]) {
  return std::memcmp(data, lit, N - 1) == 0;
}

// The kind of a part whose "type" is an exact str. The type names are ASCII,
// so only an ASCII string can equal one of them.
PartKind classify_exact_str(PyObject* t) {
  if (!PyUnicode_IS_ASCII(t)) return PartKind::kOther;
  const char* d = static_cast<const char*>(PyUnicode_DATA(t));
  switch (PyUnicode_GET_LENGTH(t)) {
    case 4:
      if (bytes_equal(d, "text")) return PartKind::kText;
      break;
    case 5:
      if (bytes_equal(d, "image")) return PartKind::kImage;
      break;
    case 9:
      if (bytes_equal(d, "image_url") || bytes_equal(d, "video_url")) return PartKind::kImage;
      break;
    case 10:
      if (bytes_equal(d, "input_text")) return PartKind::kText;
      break;
    case 11:
      if (bytes_equal(d, "output_text")) return PartKind::kText;
      if (bytes_equal(d, "input_image")) return PartKind::kImage;
      break;
    default:
      break;
  }
  return PartKind::kOther;
}

// The kind of a part by its "type" value (NULL when missing). Values other
// than exact text are compared with each type name through their own
// equality, text types first, as a membership test in a tuple would.
PartKind classify(Counts& c, PyObject* t) {
  if (!t || t == Py_None) return PartKind::kOther;
  if (PyUnicode_CheckExact(t)) return classify_exact_str(t);
  ModuleState* st = c.st;
  c.ran_code = true;
  for (PyObject* name : {st->s_text, st->s_input_text, st->s_output_text}) {
    if (check(PyObject_RichCompareBool(name, t, Py_EQ))) return PartKind::kText;
  }
  for (PyObject* name : {st->s_image_url, st->s_image, st->s_input_image, st->s_video_url}) {
    if (check(PyObject_RichCompareBool(name, t, Py_EQ))) return PartKind::kImage;
  }
  return PartKind::kOther;
}

// A content part that is a dict (held by the caller): a text part adds the
// characters of its "text" when that is text; an image or video part adds
// one image; anything else adds nothing.
void scan_dict_part(Counts& c, PyObject* part) {
  Ref type = field(c, part, c.st->s_type);
  switch (classify(c, type.get())) {
    case PartKind::kText: {
      Ref text = field(c, part, c.st->s_text);
      if (text && c.is_str(text.get())) c.chars += text_length(c, text.get());
      break;
    }
    case PartKind::kImage:
      ++c.images;
      break;
    case PartKind::kOther:
      break;
  }
}

// One element of a content list: text adds its characters, a dict is read
// as a content part, anything else adds nothing.
void scan_part(Counts& c, PyObject* part) {
  Ref hold = hold_if_foreign(part);
  if (c.is_str(part)) {
    c.chars += text_length(c, part);
  } else if (c.is_dict(part)) {
    Ref hold_dict = Ref::borrow(part);
    scan_dict_part(c, part);
  }
}

// A chat-style content value (held by the caller; NULL reads as None):
// text, or a list whose text elements and dict parts are read.
void scan_content(Counts& c, PyObject* content) {
  if (!content) return;
  if (c.is_str(content)) {
    c.chars += text_length(c, content);
    return;
  }
  if (!c.is_list(content)) return;
  for_each_item(c, content, [&](PyObject* part) { scan_part(c, part); });
}

// An "input", "query", "items" or "documents" value (held by the caller):
// text; or a list of text, token ids, lists of token ids and content parts.
// A dict found as an item or as an element of an item is read as a single
// content part; any other element of an item is read as content.
// _scan_content(value) for a value borrowed from a container: text is
// measured at once, as nothing can run in between; anything else is held
// while it is read.
void scan_borrowed_content(Counts& c, PyObject* value) {
  if (PyUnicode_CheckExact(value)) {
    c.chars += PyUnicode_GET_LENGTH(value);
    return;
  }
  Ref hold = Ref::borrow(value);
  scan_content(c, value);
}

// An element of a list found in a tokenizable value: an int is a token id;
// a dict is read as a single content part; anything else as content.
__attribute__((noinline)) void scan_inner_element(Counts& c, PyObject* el) {
  if (PyLong_CheckExact(el)) {  // the usual token id
    ++c.token_ids;
    return;
  }
  Ref hold = hold_if_foreign(el);
  if (c.is_int(el)) {
    ++c.token_ids;
    return;
  }
  if (c.is_dict(el)) {
    scan_part(c, el);  // _scan_content([el])
    return;
  }
  scan_borrowed_content(c, el);
}

// One item of a tokenizable list: text, a token id, a list of token ids
// (and content), or a dict read as a single content part.
__attribute__((noinline)) void scan_token_item(Counts& c, PyObject* item) {
  Ref hold = hold_if_foreign(item);
  if (c.is_str(item)) {
    c.chars += text_length(c, item);
  } else if (c.is_int(item)) {
    ++c.token_ids;
  } else if (c.is_list(item)) {
    Ref hold_list = Ref::borrow(item);
    for_each_item(c, item, [&](PyObject* el) { scan_inner_element(c, el); });
  } else if (c.is_dict(item)) {
    scan_part(c, item);  // _scan_content([item])
  }
}

void scan_tokenizable(Counts& c, PyObject* value) {
  if (!value) return;
  if (c.is_str(value)) {
    c.chars += text_length(c, value);
    return;
  }
  if (!c.is_list(value)) return;
  for_each_item(c, value, [&](PyObject* item) {
    // The usual token id: an exact int is no text, and testing that runs
    // nothing, so its place among the type tests does not matter.
    if (PyLong_CheckExact(item)) {
      ++c.token_ids;
    } else {
      scan_token_item(c, item);
    }
  });
}

// body[key] when `key in body`, else an empty Ref.
Ref value_if_present(PyObject* body, PyObject* key) {
  if (PyDict_CheckExact(body)) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(body, key, &v) < 0) throw PyError();
    return Ref::steal(v);
  }
  if (!check(PySequence_Contains(body, key))) return Ref();
  return check(PyObject_GetItem(body, key));
}

Ref int_from_i128(i128 v) {
  if (v >= LLONG_MIN && v <= LLONG_MAX) return new_int(static_cast<long long>(v));
  return check(PyLong_FromNativeBytes(&v, sizeof(v), -1));
}

// text_tokens + token_ids + image_count * IMAGE_TOKEN_COST, in machine
// arithmetic while the cost is an exact int and nothing overflows, else with
// the interpreter's arithmetic (a float or int-like cost, huge values).
Ref total(Counts& c) {
  Ref cost = module_attr(c.st, c.st->s_IMAGE_TOKEN_COST);
  const i128 text_tokens = static_cast<i128>(c.chars / 4);
  if (PyLong_CheckExact(cost.get())) {
    int overflow = 0;
    long long k = PyLong_AsLongLongAndOverflow(cost.get(), &overflow);
    if (!overflow) {
      i128 sum = text_tokens + static_cast<i128>(c.token_ids);
      i128 images = 0;
      if (!__builtin_mul_overflow(static_cast<i128>(c.images), static_cast<i128>(k), &images) &&
          !__builtin_add_overflow(sum, images, &sum)) {
        return int_from_i128(sum);
      }
    }
  }
  Ref tt = int_from_i128(text_tokens);
  Ref ids = check(PyLong_FromUnsignedLongLong(c.token_ids));
  Ref images = check(PyLong_FromUnsignedLongLong(c.images));
  Ref head = check(PyNumber_Add(tt.get(), ids.get()));
  Ref image_tokens = check(PyNumber_Multiply(images.get(), cost.get()));
  return check(PyNumber_Add(head.get(), image_tokens.get()));
}

// The body keys that the estimate reads, in the order it reads them.
enum BodyKey { kMessages, kPrompt, kSystem, kInput, kQuery, kItems, kDocuments, kInstruct, kKeys };

// Which read key an exact str equals, or -1.
int body_key(PyObject* key) {
  if (!PyUnicode_IS_ASCII(key)) return -1;
  const char* d = static_cast<const char*>(PyUnicode_DATA(key));
  switch (PyUnicode_GET_LENGTH(key)) {
    case 5:
      if (bytes_equal(d, "input")) return kInput;
      if (bytes_equal(d, "query")) return kQuery;
      if (bytes_equal(d, "items")) return kItems;
      break;
    case 6:
      if (bytes_equal(d, "prompt")) return kPrompt;
      if (bytes_equal(d, "system")) return kSystem;
      break;
    case 8:
      if (bytes_equal(d, "messages")) return kMessages;
      if (bytes_equal(d, "instruct")) return kInstruct;
      break;
    case 9:
      if (bytes_equal(d, "documents")) return kDocuments;
      break;
    default:
      break;
  }
  return -1;
}

// A request body is usually a small exact dict with exact str keys: one pass
// over its entries then finds every read key, where eight lookups would
// cost more. Nothing can tell the two apart, as an exact dict runs no code to
// compare exact str keys, and once an object in the body has run code of its
// own (which might change the body) the keys still to be read are looked up
// afresh. False when the body needs lookups.
bool gather_body(PyObject* body, std::array<Ref, kKeys>& values) {
  constexpr Py_ssize_t kMaxScanned = 16;
  if (!PyDict_CheckExact(body) || PyDict_GET_SIZE(body) > kMaxScanned) return false;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(body, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
    int i = body_key(key);
    if (i >= 0) values[i] = Ref::borrow(value);
  }
  return true;
}

// `_scan_content(message.get("content"))` for each message dict.
void scan_messages(Counts& c, PyObject* messages) {
  ModuleState* st = c.st;
  for_each_item(c, messages, [&](PyObject* msg) {
    Ref hold = Ref::borrow(msg);
    if (PyDict_CheckExact(msg)) {
      // Borrowed: nothing runs between the lookup and its use.
      PyObject* content = PyDict_GetItemWithError(msg, st->s_content);
      if (!content) {
        if (PyErr_Occurred()) throw PyError();
        return;
      }
      scan_borrowed_content(c, content);
      return;
    }
    if (!c.is_dict(msg)) return;
    Ref content = field(c, msg, st->s_content);
    scan_content(c, content.get());
  });
}

// A completion prompt: text, or a list whose text items count.
void scan_prompt(Counts& c, PyObject* prompt) {
  if (c.is_str(prompt)) {
    c.chars += text_length(c, prompt);
  } else if (c.is_list(prompt)) {
    for_each_item(c, prompt, [&](PyObject* p) {
      Ref hold = hold_if_foreign(p);
      if (c.is_str(p)) c.chars += text_length(c, p);
    });
  }
}

}  // namespace

Ref estimate_request_tokens(ModuleState* st, PyObject* body) {
  Counts c{st};
  if (!c.is_dict(body)) return new_int(0);

  // body.get(name) and, for the tokenizable keys, body[name] if name in body.
  // Otherwise read at the moment they are needed, so that a dict subclass
  // sees its methods called in the order the estimate reads the keys.
  std::array<Ref, kKeys> gathered;
  const bool have_all = !c.ran_code && gather_body(body, gathered);
  auto get = [&](BodyKey k, PyObject* name) {
    return have_all && !c.ran_code ? std::move(gathered[k]) : dict_get(body, name, c.st->s_get);
  };
  auto get_if_present = [&](BodyKey k, PyObject* name) {
    return have_all && !c.ran_code ? std::move(gathered[k]) : value_if_present(body, name);
  };

  // Chat messages: only the "content" of each message dict is read.
  Ref messages = get(kMessages, st->s_messages);
  if (messages && c.is_list(messages.get())) scan_messages(c, messages.get());

  Ref prompt = get(kPrompt, st->s_prompt);
  if (prompt) scan_prompt(c, prompt.get());

  // A top-level system prompt, read like message content.
  Ref system = get(kSystem, st->s_system);
  scan_content(c, system.get());

  // Embeddings, responses, rerank and score inputs.
  const std::pair<BodyKey, PyObject*> tokenizable[] = {
      {kInput, st->s_input}, {kQuery, st->s_query}, {kItems, st->s_items},
      {kDocuments, st->s_documents}};
  for (const auto& [k, name] : tokenizable) {
    Ref value = get_if_present(k, name);
    scan_tokenizable(c, value.get());
  }

  // A rerank instruction.
  Ref instruct = get(kInstruct, st->s_instruct);
  if (instruct && c.is_str(instruct.get())) c.chars += text_length(c, instruct.get());

  return total(c);
}

}  // namespace varnhold
