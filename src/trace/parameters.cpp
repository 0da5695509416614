// The names of a native's arguments in the trace: its Java parameters'
// names, from the one table the build reads out of ClientAPI's Java
// declarations (src/CMakeLists.txt), so a support engineer reads
// `clientPath` where the bridge recorded its second text.
//
// A native records its arguments in the order it reads them, not always
// the order Java declares them, and skips some (an int[] it only writes
// into). Each argument therefore takes the first parameter of its own type
// not yet taken: the natives read the parameters of one type in their
// declared order, and record a null text as null so none is skipped.
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "trace/writer_impl.h"

namespace trace::detail {

struct ArgumentNames::Parameter {
  std::string type;  // as Java writes it: "String", "byte[]", ...
  std::string name;
};

namespace {

struct Row {
  const char* native;
  const char* parameters;  // "type name,type name,..."
};

constexpr Row kRows[] = {
#include "java_parameters.inc"
};

using Table = std::map<std::string_view, std::vector<ArgumentNames::Parameter>, std::less<>>;

// Read once, on the writer's thread, at the first call it names; never
// freed, so a writer still running while the process exits finds it.
const Table& Parameters() {
  static const Table* const table = [] {
    auto* t = new Table;
    for (const Row& row : kRows) {
      auto& parameters = (*t)[row.native];
      const std::string_view all(row.parameters);
      for (size_t from = 0; from < all.size();) {
        size_t comma = all.find(',', from);
        if (comma == std::string_view::npos) comma = all.size();
        const std::string_view one = all.substr(from, comma - from);
        const size_t space = one.rfind(' ');
        if (space != std::string_view::npos)
          parameters.push_back(
              {std::string(one.substr(0, space)), std::string(one.substr(space + 1))});
        from = comma + 1;
      }
    }
    return t;
  }();
  return *table;
}

// Whether a parameter of this Java type is what an argument of this kind
// records.
bool Takes(std::string_view type, uint16_t kind) {
  switch (kind) {
    case kText:
      return type == "String";
    case kCount:
      return type == "String[]";
    case kBytes:
    case kOutSize:
      return type == "byte[]";
    case kNumber:
      return type == "int" || type == "byte" || type == "long" || type == "short" || type == "char";
    case kFlag:
      return type == "boolean";
    case kReal:
      return type == "double" || type == "float";
    default:
      return false;
  }
}

// The key of an argument no parameter takes: its kind and its position.
const char* KindName(const Piece& piece) {
  switch (piece.kind) {
    case kText:
      return "text";
    case kBytes:
      return "record";
    case kOutSize:
      return "out";
    case kCount:
      return "count";
    case kFlag:
      return piece.secret ? "value" : "flag";
    case kReal:
      return piece.secret ? "value" : "real";
    default:
      return piece.secret ? "value" : "int";
  }
}

}  // namespace

ArgumentNames::ArgumentNames(std::string_view exported) : parameters_(nullptr) {
  // Only ClientAPI's natives have their parameters in the table.
  constexpr std::string_view kClass = "Java_korvane_api_delphi_ClientAPI_";
  if (exported.substr(0, kClass.size()) != kClass) return;
  const Table& table = Parameters();
  if (auto found = table.find(exported.substr(kClass.size())); found != table.end())
    parameters_ = &found->second;
}

void ArgumentNames::Key(std::string& out, const Piece& piece, size_t index) {
  int at = -1;
  if (piece.part != 0) {
    at = last_;  // a long record's later part: the same parameter's
  } else if (piece.element >= 0) {
    at = array_;  // an element of the String[] whose length came last
  } else if (parameters_ != nullptr) {
    for (size_t i = 0; i < parameters_->size() && i < 64; ++i) {
      if ((taken_ >> i & 1) == 0 && Takes((*parameters_)[i].type, piece.kind)) {
        taken_ |= uint64_t{1} << i;
        at = static_cast<int>(i);
        break;
      }
    }
    if (piece.kind == kCount) array_ = at;
  }
  last_ = at;
  out += ",\"";
  if (at < 0) {
    out += KindName(piece);
    Put(out, index);
  } else {
    out += (*parameters_)[static_cast<size_t>(at)].name;
    if (piece.kind == kCount) out += ".length";
    if (piece.element >= 0) {
      out += '[';
      Put(out, piece.element);
      out += ']';
    }
  }
  if (piece.part != 0) {
    out += '@';
    Put(out, piece.part);
  }
  out += "\":";
}

}  // namespace trace::detail
