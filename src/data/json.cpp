// JSON documents: the value model, the reader with its per-thread error record and the
// pretty-printing writer. The reader, the writer and the destructor all work with an
// explicit stack, so hostile nesting cannot exhaust the thread's stack.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <unordered_map>

#include "base/text.h"
#include "data/data.h"
#include "platform/platform.h"

// Objects with more members than this get a name index; small ones are searched.
static constexpr size_t kIndexThreshold = 16;

struct JsonIndex {
  std::unordered_map<std::u16string, size_t> byName;
};

struct JsonAccess {
  static std::vector<std::unique_ptr<JsonValue>>& Children(JsonValue& v) { return v.children_; }
};

// --- Text conversion ---------------------------------------------------------------------

std::u16string Utf8ToUtf16(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  size_t i = 0, len = 1;
  while (i < in.size()) {
    int32_t cp = DecodeUtf8(in, i, &len);
    if (cp < 0) {
      // One replacement character per offending byte, as the system converter does.
      out.push_back(u'\xFFFD');
      i++;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); i++) {
    uint32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      i++;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

// --- Value model ---------------------------------------------------------------------------

JsonValue::JsonValue() = default;
JsonValue::JsonValue(JsonKind kind) : kind_(kind) {}

JsonValue::~JsonValue() { Clear(); }

JsonValue::JsonValue(JsonValue&& o) noexcept
    : kind_(o.kind_),
      isInteger_(o.isInteger_),
      boolean_(o.boolean_),
      integer_(o.integer_),
      double_(o.double_),
      text_(std::move(o.text_)),
      children_(std::move(o.children_)),
      names_(std::move(o.names_)),
      index_(std::move(o.index_)) {
  o.kind_ = JsonKind::Null;
}

JsonValue& JsonValue::operator=(JsonValue&& o) noexcept {
  if (this != &o) {
    Clear();
    kind_ = o.kind_;
    isInteger_ = o.isInteger_;
    boolean_ = o.boolean_;
    integer_ = o.integer_;
    double_ = o.double_;
    text_ = std::move(o.text_);
    children_ = std::move(o.children_);
    names_ = std::move(o.names_);
    index_ = std::move(o.index_);
    o.kind_ = JsonKind::Null;
  }
  return *this;
}

// Frees the subtree without recursion: children are moved onto a work list and each one
// is emptied of its own children before it is destroyed.
void JsonValue::Clear() {
  if (!children_.empty()) {
    std::vector<std::unique_ptr<JsonValue>> work = std::move(children_);
    children_.clear();
    while (!work.empty()) {
      std::unique_ptr<JsonValue> v = std::move(work.back());
      work.pop_back();
      if (v) {
        for (auto& c : v->children_) work.push_back(std::move(c));
        v->children_.clear();
      }
      // v is destroyed here with no children left.
    }
  }
  names_.clear();
  index_.reset();
  text_.clear();
  kind_ = JsonKind::Null;
  isInteger_ = false;
  boolean_ = false;
  integer_ = 0;
  double_ = 0.0;
}

static const std::u16string kEmpty16;

std::string JsonValue::GetString() const { return kind_ == JsonKind::String ? Utf16ToUtf8(text_) : std::string(); }
const std::u16string& JsonValue::GetString16() const { return kind_ == JsonKind::String ? text_ : kEmpty16; }

static int64_t SaturateToInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);  // truncates toward zero
}

int64_t JsonValue::GetInteger() const {
  if (kind_ != JsonKind::Number) return 0;
  return isInteger_ ? integer_ : SaturateToInt64(double_);
}

double JsonValue::GetDouble() const {
  if (kind_ != JsonKind::Number) return 0.0;
  return isInteger_ ? static_cast<double>(integer_) : double_;
}

bool JsonValue::GetBool() const { return kind_ == JsonKind::Boolean && boolean_; }

size_t JsonValue::Size() const {
  return (kind_ == JsonKind::Array || kind_ == JsonKind::Object) ? children_.size() : 0;
}

JsonValue* JsonValue::Element(size_t i) const {
  if (kind_ != JsonKind::Array || i >= children_.size()) return nullptr;
  return children_[i].get();
}

JsonValue* JsonValue::Member16(std::u16string_view name) const {
  if (kind_ != JsonKind::Object) return nullptr;
  if (index_) {
    auto it = index_->byName.find(std::u16string(name));
    return it == index_->byName.end() ? nullptr : children_[it->second].get();
  }
  for (size_t i = 0; i < names_.size(); i++)
    if (names_[i] == name) return children_[i].get();
  return nullptr;
}

JsonValue* JsonValue::Member(std::string_view name) const {
  if (kind_ != JsonKind::Object) return nullptr;
  return Member16(Utf8ToUtf16(name));
}

std::string JsonValue::MemberName(size_t i) const {
  return (kind_ == JsonKind::Object && i < names_.size()) ? Utf16ToUtf8(names_[i]) : std::string();
}

const std::u16string& JsonValue::MemberName16(size_t i) const {
  return (kind_ == JsonKind::Object && i < names_.size()) ? names_[i] : kEmpty16;
}

JsonValue* JsonValue::MemberValue(size_t i) const {
  return (kind_ == JsonKind::Object && i < children_.size()) ? children_[i].get() : nullptr;
}

void JsonValue::SetNull() { Clear(); }
void JsonValue::SetBool(bool v) {
  Clear();
  kind_ = JsonKind::Boolean;
  boolean_ = v;
}
void JsonValue::SetInteger(int64_t v) {
  Clear();
  kind_ = JsonKind::Number;
  isInteger_ = true;
  integer_ = v;
}
void JsonValue::SetDouble(double v) {
  Clear();
  kind_ = JsonKind::Number;
  double_ = v;
}
void JsonValue::SetString(std::string_view utf8) { SetString16(Utf8ToUtf16(utf8)); }
void JsonValue::SetString16(std::u16string v) {
  Clear();
  kind_ = JsonKind::String;
  text_ = std::move(v);
}
void JsonValue::SetArray() {
  Clear();
  kind_ = JsonKind::Array;
}
void JsonValue::SetObject() {
  Clear();
  kind_ = JsonKind::Object;
}

JsonValue* JsonValue::SetMember16(std::u16string name, JsonKind kind) {
  if (kind_ != JsonKind::Object) return nullptr;
  try {
    if (JsonValue* existing = Member16(name)) {
      // A repeated name replaces the value where the first one stood.
      JsonValue fresh(kind);
      *existing = std::move(fresh);
      return existing;
    }
    auto v = std::make_unique<JsonValue>(kind);
    JsonValue* raw = v.get();
    children_.reserve(children_.size() + 1);
    names_.reserve(names_.size() + 1);
    if (index_ || children_.size() + 1 > kIndexThreshold) {
      if (!index_) {
        auto idx = std::make_unique<JsonIndex>();
        for (size_t i = 0; i < names_.size(); i++) idx->byName.emplace(names_[i], i);
        index_ = std::move(idx);
      }
      index_->byName.emplace(name, children_.size());
    }
    names_.push_back(std::move(name));
    children_.push_back(std::move(v));
    return raw;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

JsonValue* JsonValue::SetMember(std::string_view name, JsonKind kind) {
  try {
    return SetMember16(Utf8ToUtf16(name), kind);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

JsonValue* JsonValue::AddElement(JsonKind kind) {
  if (kind_ != JsonKind::Array) return nullptr;
  try {
    children_.push_back(std::make_unique<JsonValue>(kind));
    return children_.back().get();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

JsonValue* JsonValue::SetMemberString(std::string_view name, std::string_view utf8) {
  JsonValue* v = SetMember(name, JsonKind::String);
  if (!v) return nullptr;
  try {
    v->text_ = Utf8ToUtf16(utf8);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return v;
}

JsonValue* JsonValue::SetMemberInteger(std::string_view name, int64_t value) {
  JsonValue* v = SetMember(name, JsonKind::Number);
  if (v) v->SetInteger(value);
  return v;
}

JsonValue* JsonValue::SetMemberDouble(std::string_view name, double value) {
  JsonValue* v = SetMember(name, JsonKind::Number);
  if (v) v->SetDouble(value);
  return v;
}

JsonValue* JsonValue::SetMemberBool(std::string_view name, bool value) {
  JsonValue* v = SetMember(name, JsonKind::Boolean);
  if (v) v->SetBool(value);
  return v;
}

JsonValue* JsonValue::SetMemberObject(std::string_view name) { return SetMember(name, JsonKind::Object); }
JsonValue* JsonValue::SetMemberArray(std::string_view name) { return SetMember(name, JsonKind::Array); }

// --- Error record ----------------------------------------------------------------------------

namespace {
struct JsonError {
  std::string message;
  int64_t line = -1;
  int64_t position = -1;
};
thread_local JsonError tError;

void ResetError() {
  tError.message.clear();
  tError.line = -1;
  tError.position = -1;
}
}  // namespace

std::string JsonErrorMessage() { return tError.message; }
int64_t JsonErrorLine() { return tError.line; }
int64_t JsonErrorPosition() { return tError.position; }

// --- Reader ----------------------------------------------------------------------------------

namespace {

const char* const kErrUnexpectedChar = "Unexpected character";
const char* const kErrEscape = "Invalid escape sequence";
const char* const kErrNumber = "Invalid numeric value";
const char* const kErrMemberName = "A member name (string) is expected";
const char* const kErrColon = "Expected a ':' character";
const char* const kErrEnd = "Unexpected end of input";
const char* const kErrMemory = "Out of memory";

struct Reader {
  const char16_t* p;
  const char16_t* end;
  int64_t line = 1;
  int64_t position = 0;
  bool crPending = false;
  bool failed = false;

  bool AtEnd() const { return p >= end; }
  char16_t Peek() const { return *p; }

  // Consumes one character, counting lines: CR starts a line, LF starts one unless it
  // directly follows a CR, so CRLF and a lone LF each end one line.
  char16_t Take() {
    char16_t c = *p++;
    if (c == u'\r') {
      line++;
      position = 0;
      crPending = true;
    } else if (c == u'\n') {
      if (!crPending) {
        line++;
        position = 0;
      }
      crPending = false;
    } else {
      position++;
      crPending = false;
    }
    return c;
  }

  void Fail(const char* message) {
    if (failed) return;
    failed = true;
    tError.message = message;
    tError.line = line;
    tError.position = position == 0 ? 1 : position;
  }

  void SkipWhitespace() {
    while (p < end && (*p == u' ' || *p == u'\t' || *p == u'\n' || *p == u'\r')) Take();
  }

  // Reads a string token; the opening quote is the next character.
  bool ReadString(std::u16string& out) {
    Take();  // opening quote
    const char16_t* runStart = p;
    for (;;) {
      // Copy plain runs in one go; quotes, backslashes and line ends need attention.
      while (p < end && *p != u'"' && *p != u'\\' && *p != u'\r' && *p != u'\n') {
        p++;
        position++;
        crPending = false;
      }
      out.append(runStart, p);
      if (p >= end) {
        Fail(kErrEnd);
        return false;
      }
      char16_t c = Take();
      if (c == u'"') return true;
      if (c == u'\r' || c == u'\n') {
        out.push_back(c);  // raw control characters are kept as they are
        runStart = p;
        continue;
      }
      // Backslash escape.
      if (p >= end) {
        Fail(kErrEnd);
        return false;
      }
      char16_t e = Take();
      switch (e) {
        case u'"':
          out.push_back(u'"');
          break;
        case u'/':
          out.push_back(u'/');
          break;
        case u'\\':
          out.push_back(u'\\');
          break;
        case u'b':
          out.push_back(u'\b');
          break;
        case u'f':
          out.push_back(u'\f');
          break;
        case u'n':
          out.push_back(u'\n');
          break;
        case u'r':
          out.push_back(u'\r');
          break;
        case u't':
          out.push_back(u'\t');
          break;
        case u'u': {
          unsigned code = 0;
          for (int k = 0; k < 4; k++) {
            if (p >= end) {
              Fail(kErrEnd);
              return false;
            }
            char16_t h = Take();
            unsigned d;
            if (h >= u'0' && h <= u'9')
              d = h - u'0';
            else if (h >= u'a' && h <= u'f')
              d = h - u'a' + 10;
            else if (h >= u'A' && h <= u'F')
              d = h - u'A' + 10;
            else {
              Fail(kErrEscape);
              return false;
            }
            code = code * 16 + d;
          }
          out.push_back(static_cast<char16_t>(code));
          break;
        }
        default:
          Fail(kErrEscape);
          return false;
      }
      runStart = p;
    }
  }

  static bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

  // Consumes one or more digits; false (with the error set) when there is none.
  bool ReadDigits() {
    if (p >= end) {
      Fail(kErrEnd);
      return false;
    }
    if (!IsDigit(*p)) {
      Take();
      Fail(kErrNumber);
      return false;
    }
    while (p < end && IsDigit(*p)) Take();
    return true;
  }

  bool ReadNumber(JsonValue& v) {
    const char16_t* start = p;
    bool isInteger = true;
    if (*p == u'-') Take();
    if (!ReadDigits()) return false;
    if (p < end && *p == u'.') {
      isInteger = false;
      Take();
      if (!ReadDigits()) return false;
    }
    if (p < end && (*p == u'e' || *p == u'E')) {
      isInteger = false;
      Take();
      if (p < end && (*p == u'+' || *p == u'-')) Take();
      if (!ReadDigits()) return false;
    }
    // The token is plain ASCII by now.
    std::string text(static_cast<size_t>(p - start), '\0');
    for (size_t i = 0; i < text.size(); i++) text[i] = static_cast<char>(start[i]);
    const char* b = text.data();
    const char* e = b + text.size();
    if (isInteger) {
      int64_t iv = 0;
      auto r = std::from_chars(b, e, iv);
      if (r.ec == std::errc() && r.ptr == e) {
        v.SetInteger(iv);
        return true;
      }
      // Beyond the 64-bit range: keep the magnitude as a double.
    }
    v.SetDouble(ParseDouble(text));
    return true;
  }

  // Locale-independent conversion; out-of-range values become infinity or zero.
  static double ParseDouble(const std::string& text) {
    const char* b = text.data();
    const char* e = b + text.size();
    bool negative = false;
    if (b < e && *b == '-') {
      negative = true;
      b++;
    }
    double d = 0.0;
    auto r = std::from_chars(b, e, d, std::chars_format::general);
    if (r.ec == std::errc()) return negative ? -d : d;
    // Decide overflow or underflow from the decimal magnitude of the token.
    int64_t magnitude = 0;
    const char* q = b;
    int64_t intDigits = 0;
    bool seenNonZero = false;
    while (q < e && *q >= '0' && *q <= '9') {
      if (*q != '0') seenNonZero = true;
      if (seenNonZero) intDigits++;
      q++;
    }
    if (seenNonZero) {
      magnitude = intDigits;
    } else if (q < e && *q == '.') {
      q++;
      int64_t zeros = 0;
      while (q < e && *q == '0') zeros++, q++;
      magnitude = -zeros;
    }
    while (q < e && *q != 'e' && *q != 'E') q++;
    if (q < e) {
      q++;
      bool expNeg = false;
      if (q < e && (*q == '+' || *q == '-')) expNeg = (*q++ == '-');
      int64_t exp = 0;
      while (q < e && *q >= '0' && *q <= '9') {
        if (exp < 1000000000) exp = exp * 10 + (*q - '0');
        q++;
      }
      magnitude += expNeg ? -exp : exp;
    }
    double out = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -out : out;
  }

  // Matches the rest of a literal whose first letter is next.
  bool ReadLiteral(const char16_t* word) {
    for (const char16_t* w = word; *w; w++) {
      if (p >= end) {
        Fail(kErrEnd);
        return false;
      }
      char16_t c = Take();
      if (c != *w) {
        Fail(kErrUnexpectedChar);
        return false;
      }
    }
    return true;
  }
};

struct Frame {
  JsonValue* container;
  bool isObject;
};

}  // namespace

static std::unique_ptr<JsonDocument> ParseUtf16(const std::u16string& text) {
  auto doc = std::make_unique<JsonDocument>();
  Reader r{text.data(), text.data() + text.size()};
  std::vector<Frame> stack;

  // Where the next value goes: the root, a new array element or the member just named.
  JsonValue* slot = &doc->root;
  enum { kValue, kAfterValue, kMember } state = kValue;

  while (!r.failed) {
    if (state == kValue) {
      r.SkipWhitespace();
      if (r.AtEnd()) {
        r.Fail(kErrEnd);
        break;
      }
      JsonValue& v = *slot;
      char16_t c = r.Peek();
      state = kAfterValue;
      if (c == u'"') {
        std::u16string s;
        if (r.ReadString(s)) v.SetString16(std::move(s));
      } else if (c == u'-' || Reader::IsDigit(c)) {
        r.ReadNumber(v);
      } else if (c == u't') {
        if (r.ReadLiteral(u"true")) v.SetBool(true);
      } else if (c == u'f') {
        if (r.ReadLiteral(u"false")) v.SetBool(false);
      } else if (c == u'n') {
        if (r.ReadLiteral(u"null")) v.SetNull();
      } else if (c == u'[' || c == u'{') {
        r.Take();
        if (stack.size() >= static_cast<size_t>(kJsonMaxDepth)) {
          r.Fail(kErrMemory);
          break;
        }
        bool isObject = c == u'{';
        if (isObject)
          v.SetObject();
        else
          v.SetArray();
        stack.push_back({&v, isObject});
        r.SkipWhitespace();
        if (r.AtEnd()) {
          r.Fail(kErrEnd);
          break;
        }
        if (r.Peek() == (isObject ? u'}' : u']')) {
          r.Take();
          stack.pop_back();
        } else if (isObject) {
          state = kMember;
        } else {
          slot = v.AddElement(JsonKind::Null);
          if (!slot) r.Fail(kErrMemory);
          state = kValue;
        }
      } else {
        r.Take();
        r.Fail(kErrUnexpectedChar);
      }
      continue;
    }

    if (state == kAfterValue) {
      // Close containers or move to the next element or member.
      r.SkipWhitespace();
      if (stack.empty()) {
        if (!r.AtEnd()) {
          r.Take();
          r.Fail(kErrUnexpectedChar);
        }
        break;
      }
      if (r.AtEnd()) {
        r.Fail(kErrEnd);
        break;
      }
      Frame& f = stack.back();
      char16_t c = r.Take();
      if (c == (f.isObject ? u'}' : u']')) {
        stack.pop_back();
      } else if (c != u',') {
        r.Fail(kErrUnexpectedChar);
      } else if (f.isObject) {
        state = kMember;
      } else {
        slot = f.container->AddElement(JsonKind::Null);
        if (!slot) r.Fail(kErrMemory);
        state = kValue;
      }
      continue;
    }

    // kMember: a name, a colon, then the member's value.
    r.SkipWhitespace();
    if (r.AtEnd()) {
      r.Fail(kErrEnd);
      break;
    }
    if (r.Peek() != u'"') {
      r.Take();
      r.Fail(kErrMemberName);
      break;
    }
    std::u16string name;
    if (!r.ReadString(name)) break;
    r.SkipWhitespace();
    if (r.AtEnd()) {
      r.Fail(kErrEnd);
      break;
    }
    if (r.Peek() != u':') {
      r.Take();
      r.Fail(kErrColon);
      break;
    }
    r.Take();
    slot = stack.back().container->SetMember16(std::move(name), JsonKind::Null);
    if (!slot) r.Fail(kErrMemory);
    state = kValue;
  }

  if (r.failed) return nullptr;
  return doc;
}

std::unique_ptr<JsonDocument> ParseJson(const void* data, size_t size) {
  ResetError();
  try {
    std::u16string text = Utf8ToUtf16(std::string_view(static_cast<const char*>(data), size));
    return ParseUtf16(text);
  } catch (const std::bad_alloc&) {
    tError.message = kErrMemory;
    tError.line = 1;
    tError.position = 1;
    return nullptr;
  }
}

std::unique_ptr<JsonDocument> LoadJsonFile(const std::string& path) {
  ResetError();
  std::string bytes;
  bool ok = false;
  if (FILE* f = OpenFileUtf8(path, "rb")) {
    ok = true;
    char buf[65536];
    size_t n;
    try {
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    } catch (const std::bad_alloc&) {
      ok = false;
    }
    if (std::ferror(f)) ok = false;
    std::fclose(f);
  }
  if (!ok) {
    tError.message = "Unable to read file";
    return nullptr;
  }
  return ParseJson(bytes.data(), bytes.size());
}

// --- Getters with defaults ---------------------------------------------------------------------

static const JsonValue* Pick(const JsonValue* parent, std::string_view name) {
  if (!parent) return nullptr;
  if (name.empty()) return parent;
  return parent->Member(name);
}

int64_t GetJsonInteger(const JsonValue* parent, std::string_view name, int64_t def) {
  const JsonValue* v = Pick(parent, name);
  return (v && v->IsNumber()) ? v->GetInteger() : def;
}

double GetJsonFloat(const JsonValue* parent, std::string_view name, double def) {
  const JsonValue* v = Pick(parent, name);
  return (v && v->IsNumber()) ? v->GetDouble() : def;
}

std::string GetJsonString(const JsonValue* parent, std::string_view name, std::string_view def) {
  const JsonValue* v = Pick(parent, name);
  return (v && v->IsString()) ? v->GetString() : std::string(def);
}

const JsonValue* GetJsonObject(const JsonValue* parent, std::string_view name) {
  const JsonValue* v = Pick(parent, name);
  return (v && v->IsObject()) ? v : nullptr;
}

const JsonValue* GetJsonArray(const JsonValue* parent, std::string_view name) {
  const JsonValue* v = Pick(parent, name);
  return (v && v->IsArray()) ? v : nullptr;
}

std::string GetJsonArrayString(const JsonValue* array, size_t index) {
  if (!array) return std::string();
  const JsonValue* v = array->Element(index);
  return (v && v->IsString()) ? v->GetString() : std::string();
}

// --- Writer ------------------------------------------------------------------------------------

namespace {

// Output goes either into a string or through a 4096-byte block buffer into a file.
struct Sink {
  std::string* text = nullptr;
  FILE* file = nullptr;
  char block[4096];
  size_t used = 0;
  bool failed = false;

  void FlushBlock() {
    if (file && used > 0) {
      if (!failed && std::fwrite(block, 1, used, file) != used) failed = true;
      used = 0;
    }
  }
  void Put(const char* s, size_t n) {
    if (text) {
      text->append(s, n);
      return;
    }
    while (n > 0) {
      size_t room = sizeof block - used;
      size_t k = n < room ? n : room;
      std::memcpy(block + used, s, k);
      used += k;
      s += k;
      n -= k;
      if (used == sizeof block) FlushBlock();
    }
  }
  void Put(std::string_view s) { Put(s.data(), s.size()); }
  void PutChar(char c) { Put(&c, 1); }
  void Spaces(size_t n) {
    static const char kSpaces[] = "                                ";
    while (n > 0) {
      size_t k = n < 32 ? n : 32;
      Put(kSpaces, k);
      n -= k;
    }
  }
};

void WriteString(Sink& out, const std::u16string& s) {
  std::string buf;
  buf.reserve(s.size() + 2);
  buf.push_back('"');
  for (size_t i = 0; i < s.size(); i++) {
    uint32_t c = s[i];
    switch (c) {
      case '"':
        buf += "\\\"";
        continue;
      case '\\':
        buf += "\\\\";
        continue;
      case '\b':
        buf += "\\b";
        continue;
      case '\t':
        buf += "\\t";
        continue;
      case '\n':
        buf += "\\n";
        continue;
      case '\f':
        buf += "\\f";
        continue;
      case '\r':
        buf += "\\r";
        continue;
      default:
        break;
    }
    static const char kHex[] = "0123456789abcdef";
    if (c < 32) {
      buf += "\\u00";
      buf.push_back(kHex[c >> 4]);
      buf.push_back(kHex[c & 15]);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      i++;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      // A lone surrogate (read from a \u escape) has no UTF-8 form. Written as the same
      // escape it reads back unchanged; as U+FFFD, two names that differ only there
      // would become one and a member would be lost.
      buf += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) buf.push_back(kHex[(c >> shift) & 15]);
      continue;
    }
    AppendUtf8(buf, c);
  }
  buf.push_back('"');
  out.Put(buf);
}

void WriteNumber(Sink& out, const JsonValue& v) {
  char buf[64];
  if (v.IsInteger()) {
    auto r = std::to_chars(buf, buf + sizeof buf, v.GetInteger());
    out.Put(buf, static_cast<size_t>(r.ptr - buf));
    return;
  }
  double d = v.GetDouble();
  if (std::isnan(d) || std::isinf(d)) {
    out.Put("null");
    return;
  }
  if (d == 0.0) d = 0.0;  // negative zero is written as 0
  // The shortest "%g"-style text (without the locale's decimal separator) that reads back
  // to the same double: "%.16g" when it does, which keeps every such value's text, else
  // 17 significant digits, which always do. "%.16g" alone does not round-trip every
  // double: the one just above 1e23 would be written 1e+23 and read back as the double
  // below it.
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 16);
  double back = 0;
  auto parsed = std::from_chars(buf, r.ptr, back);
  if (parsed.ec != std::errc() || back != d)
    r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 17);
  out.Put(buf, static_cast<size_t>(r.ptr - buf));
}

void WriteScalar(Sink& out, const JsonValue& v) {
  switch (v.Kind()) {
    case JsonKind::Null:
      out.Put("null");
      break;
    case JsonKind::Boolean:
      out.Put(v.GetBool() ? "true" : "false");
      break;
    case JsonKind::Number:
      WriteNumber(out, v);
      break;
    case JsonKind::String:
      WriteString(out, v.GetString16());
      break;
    case JsonKind::Array:
      out.Put("[]");
      break;
    case JsonKind::Object:
      out.Put("{}");
      break;
  }
}

void NewLine(Sink& out, bool pretty, size_t indent) {
  if (!pretty) return;
  out.Put("\r\n");
  out.Spaces(indent);
}

struct WriteFrame {
  const JsonValue* value;
  size_t next;
  size_t indent;
  size_t longestName;
};

void WriteValue(Sink& out, const JsonValue& root, bool pretty) {
  std::vector<WriteFrame> stack;
  auto open = [&](const JsonValue& v, size_t indent) {
    if (v.Size() == 0 || (!v.IsArray() && !v.IsObject())) {
      WriteScalar(out, v);
      return;
    }
    size_t longest = 0;
    if (v.IsObject())
      for (size_t i = 0; i < v.Size(); i++) longest = std::max(longest, v.MemberName16(i).size());
    out.PutChar(v.IsObject() ? '{' : '[');
    stack.push_back({&v, 0, indent, longest});
  };
  open(root, 0);
  while (!stack.empty()) {
    WriteFrame& f = stack.back();
    const JsonValue& v = *f.value;
    if (f.next == v.Size()) {
      NewLine(out, pretty, f.indent);
      out.PutChar(v.IsObject() ? '}' : ']');
      stack.pop_back();
      continue;
    }
    size_t i = f.next++;
    if (i > 0) out.PutChar(',');
    NewLine(out, pretty, f.indent + 2);
    const JsonValue* child;
    size_t childIndent;
    if (v.IsObject()) {
      const std::u16string& name = v.MemberName16(i);
      WriteString(out, name);
      if (pretty) out.Spaces(f.longestName - name.size());
      out.Put(pretty ? ": " : ":");
      child = v.MemberValue(i);
      childIndent = f.indent + 4;
    } else {
      child = v.Element(i);
      childIndent = f.indent + 2;
    }
    open(*child, childIndent);  // may invalidate f
  }
}

}  // namespace

std::string ComposeJson(const JsonValue& value, int pretty) {
  std::string text;
  Sink out;
  out.text = &text;
  WriteValue(out, value, pretty != 0);
  return text;
}

int SaveJsonFile(const JsonDocument& document, const std::string& path, int pretty) {
  namespace fs = std::filesystem;
  // A temporary file beside the target, synced and renamed over it once complete, so a
  // failure, a crash or a power cut at any point leaves the old file or the new one.
  std::string temp = path + ".tmp";
  FILE* f = OpenFileUtf8(temp, "wb");
  if (!f) return 0;
  std::setvbuf(f, nullptr, _IONBF, 0);  // our own 4096-byte blocks are the buffer
  bool ok = true;
  try {
    auto out = std::make_unique<Sink>();
    out->file = f;
    WriteValue(*out, document.root, pretty != 0);
    out->FlushBlock();
    ok = !out->failed;
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (std::fflush(f) != 0) ok = false;
  if (std::fclose(f) != 0) ok = false;
  std::error_code ec;
  if (ok) ok = ReplaceFileDurably(temp, path) == 1;
  if (!ok) fs::remove(Utf8Path(temp), ec);
  return ok ? 1 : 0;
}
