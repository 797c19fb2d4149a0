// Parsers for the module's resource folder in the host's own text formats.
#include "c4d_resource.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace host {
namespace fs = std::filesystem;

namespace {

std::string& Language() {
  static std::string lang = "us";
  return lang;
}

struct Token {
  enum Kind { kIdent, kNumber, kString, kPunct, kEnd } kind = kEnd;
  std::string text;
  int line = 0;
};

/// Splits resource text into identifiers, numbers, strings and punctuation, skipping
/// comments and preprocessor lines.
std::vector<Token> Tokenize(const std::string& s) {
  std::vector<Token> out;
  size_t i = 0;
  int line = 1;
  bool lineStart = true;
  while (i < s.size()) {
    char c = s[i];
    if (c == '\n') {
      ++line;
      ++i;
      lineStart = true;
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    if (lineStart && c == '#') {
      while (i < s.size() && s[i] != '\n') ++i;
      continue;
    }
    lineStart = false;
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
      while (i < s.size() && s[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      i += 2;
      while (i + 1 < s.size() && !(s[i] == '*' && s[i + 1] == '/')) {
        if (s[i] == '\n') ++line;
        ++i;
      }
      i += 2;
      continue;
    }
    Token t;
    t.line = line;
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t j = i;
      while (j < s.size() && (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '_')) ++j;
      t.kind = Token::kIdent;
      t.text = s.substr(i, j - i);
      i = j;
    } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '+') {
      size_t j = i + 1;
      while (j < s.size() &&
             (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '.' ||
              ((s[j] == '-' || s[j] == '+') && (s[j - 1] == 'e' || s[j - 1] == 'E'))))
        ++j;
      t.kind = Token::kNumber;
      t.text = s.substr(i, j - i);
      i = j;
    } else if (c == '"') {
      std::string text;
      ++i;
      while (i < s.size() && s[i] != '"') {
        if (s[i] == '\\' && i + 1 < s.size()) {
          char e = s[i + 1];
          if (e == 'u' && i + 5 < s.size()) {
            UInt32 cp = static_cast<UInt32>(std::stoul(s.substr(i + 2, 4), nullptr, 16));
            text += String::ToUtf8(std::u16string(1, static_cast<char16_t>(cp)));
            i += 6;
            continue;
          }
          text += e == 'n' ? '\n' : e == 't' ? '\t' : e;
          i += 2;
          continue;
        }
        text += s[i++];
      }
      ++i;
      t.kind = Token::kString;
      t.text = text;
    } else {
      t.kind = Token::kPunct;
      t.text = std::string(1, c);
      ++i;
    }
    out.push_back(t);
  }
  out.push_back(Token{Token::kEnd, "", line});
  return out;
}

bool ReadFile(const fs::path& p, std::string* out) {
  std::ifstream f(p, std::ios::binary);
  if (!f) return false;
  std::stringstream ss;
  ss << f.rdbuf();
  *out = ss.str();
  if (out->size() >= 3 && static_cast<unsigned char>((*out)[0]) == 0xEF) out->erase(0, 3);  // BOM
  return true;
}

/// Collects NAME = NUMBER pairs of enum declarations (and #define NAME NUMBER lines).
void ParseSymbols(const std::string& text, std::map<std::string, Int32>* symbols) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream ls(line);
    std::string def, name, value;
    if (ls >> def >> name >> value && def == "#define") {
      try {
        (*symbols)[name] = static_cast<Int32>(std::stol(value, nullptr, 0));
      } catch (...) {
      }
    }
  }
  auto t = Tokenize(text);
  for (size_t i = 0; i + 2 < t.size(); ++i) {
    if (t[i].kind == Token::kIdent && t[i + 1].text == "=" && t[i + 2].kind == Token::kNumber) {
      try {
        (*symbols)[t[i].text] = static_cast<Int32>(std::stol(t[i + 2].text, nullptr, 0));
      } catch (...) {
      }
    }
  }
}

fs::path StringsDir(const fs::path& res) {
  fs::path preferred = res / ("strings_" + Language());
  std::error_code ec;
  if (fs::is_directory(preferred, ec)) return preferred;
  for (auto& e : fs::directory_iterator(res, ec)) {
    if (e.is_directory() && e.path().filename().string().rfind("strings_", 0) == 0) return e.path();
  }
  return preferred;
}

/// Reads `NAME "text";` pairs of a STRINGTABLE block.
void ParseStringTable(const std::string& text, std::map<std::string, String>* out) {
  auto t = Tokenize(text);
  for (size_t i = 0; i + 1 < t.size(); ++i) {
    if (t[i].kind == Token::kIdent && t[i + 1].kind == Token::kString) {
      String s(t[i + 1].text);
      size_t j = i + 2;
      while (j < t.size() && t[j].kind == Token::kString) s += String(t[j++].text);  // short name
      (*out)[t[i].text] = s;
    }
  }
}

std::mutex gTableMutex;
std::map<std::string, std::map<Int32, String>>& Tables() {
  static std::map<std::string, std::map<Int32, String>> tables;
  return tables;
}

Int32 TypeOfKeyword(const std::string& k) {
  if (k == "BOOL") return DTYPE_BOOL;
  if (k == "LONG") return DTYPE_LONG;
  if (k == "REAL") return DTYPE_REAL;
  if (k == "VECTOR") return DTYPE_VECTOR;
  if (k == "COLOR") return DTYPE_COLOR;
  if (k == "STRING") return DTYPE_STRING;
  if (k == "FILENAME") return DTYPE_FILENAME;
  if (k == "LINK") return DTYPE_BASELISTLINK;
  if (k == "BUTTON") return DTYPE_BUTTON;
  if (k == "UNITSCALE") return CUSTOMDATATYPE_UNITSCALE;
  if (k == "GROUP") return DTYPE_GROUP;
  if (k == "SEPARATOR") return DTYPE_NONE;
  return -1;
}

DOCUMENT_UNIT UnitOfName(const std::string& n) {
  std::string u;
  for (char c : n) u += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (u == "KM") return DOCUMENT_UNIT::KM;
  if (u == "M") return DOCUMENT_UNIT::M;
  if (u == "CM") return DOCUMENT_UNIT::CM;
  if (u == "MM") return DOCUMENT_UNIT::MM;
  if (u == "UM") return DOCUMENT_UNIT::UM;
  if (u == "NM") return DOCUMENT_UNIT::NM;
  if (u == "MI" || u == "MILE") return DOCUMENT_UNIT::MILE;
  if (u == "YD" || u == "YARD") return DOCUMENT_UNIT::YARD;
  if (u == "FT" || u == "FOOT") return DOCUMENT_UNIT::FOOT;
  if (u == "IN" || u == "INCH") return DOCUMENT_UNIT::INCH;
  return DOCUMENT_UNIT::UNDEFINED;
}

class DescriptionParser {
 public:
  DescriptionParser(std::vector<Token> t, const std::map<std::string, Int32>& symbols,
                    const std::map<std::string, String>& strings, Description* out)
      : t_(std::move(t)), sym_(symbols), str_(strings), out_(out) {}

  bool Parse(std::string* error) {
    if (!Accept("CONTAINER")) return Fail(error, "expected CONTAINER");
    ++p_;  // container name
    if (!Accept("{")) return Fail(error, "expected {");
    if (!Block(DescID(0), error)) return false;
    return true;
  }

 private:
  const Token& Cur() const { return t_[std::min(p_, t_.size() - 1)]; }
  bool Accept(const char* s) {
    if (Cur().text == s) {
      ++p_;
      return true;
    }
    return false;
  }
  bool Fail(std::string* error, const std::string& what) {
    if (error) *error = "line " + std::to_string(Cur().line) + ": " + what;
    return false;
  }
  Int32 IdOf(const Token& tok, bool* ok) {
    *ok = true;
    if (tok.kind == Token::kNumber) return static_cast<Int32>(std::stol(tok.text, nullptr, 0));
    auto it = sym_.find(tok.text);
    if (it != sym_.end()) return it->second;
    *ok = false;
    return 0;
  }
  void SkipBlock() {
    int depth = 1;
    while (depth > 0 && Cur().kind != Token::kEnd) {
      if (Cur().text == "{") ++depth;
      if (Cur().text == "}") --depth;
      ++p_;
    }
  }

  // Elements until the closing brace of the current block.
  bool Block(const DescID& group, std::string* error) {
    while (!Accept("}")) {
      if (Cur().kind == Token::kEnd) return Fail(error, "unexpected end of file");
      std::string key = Cur().text;
      ++p_;
      Int32 type = TypeOfKeyword(key);
      if (type < 0) {
        // NAME x; INCLUDE x; DEFAULT 1; and other settings of a container or group.
        while (!Accept(";")) {
          if (Cur().text == "{") {
            ++p_;
            SkipBlock();
            break;
          }
          if (Cur().text == "}" || Cur().kind == Token::kEnd) break;
          ++p_;
        }
        continue;
      }
      DescriptionEntry e;
      e.type = type;
      e.group = group;
      if (Cur().text != "{") {
        bool ok = false;
        e.id = DescID(IdOf(Cur(), &ok));
        if (!ok) return Fail(error, "unknown symbol " + Cur().text);
        auto s = str_.find(Cur().text);
        if (s != str_.end()) {
          e.settings.SetString(DESC_NAME, s->second);
          e.settings.SetString(DESC_SHORT_NAME, s->second);
        }
        ++p_;
      }
      if (!Accept("{")) return Fail(error, "expected { after " + key);
      if (type == DTYPE_GROUP) {
        out_->AddEntry(e);
        if (!Block(e.id, error)) return false;
        continue;
      }
      if (!Settings(&e, error)) return false;
      out_->AddEntry(e);
    }
    return true;
  }

  bool Settings(DescriptionEntry* e, std::string* error) {
    while (!Accept("}")) {
      if (Cur().kind == Token::kEnd) return Fail(error, "unexpected end of file");
      std::string key = Cur().text;
      ++p_;
      std::vector<Token> args;
      if (Cur().text == "{") {
        ++p_;
        std::vector<Token> items;
        while (!Accept("}") && Cur().kind != Token::kEnd) {
          if (Cur().text != ";") items.push_back(Cur());
          ++p_;
        }
        if (key == "CYCLE") {
          BaseContainer cycle;
          for (const auto& it : items) {
            bool ok = false;
            Int32 v = IdOf(it, &ok);
            if (!ok) continue;
            auto s = str_.find(it.text);
            cycle.SetString(v, s != str_.end() ? s->second : String(it.text));
          }
          e->settings.SetContainer(DESC_CYCLE, cycle);
        }
        continue;
      }
      while (!Accept(";")) {
        if (Cur().kind == Token::kEnd || Cur().text == "}") return Fail(error, "expected ;");
        args.push_back(Cur());
        ++p_;
      }
      Apply(e, key, args);
    }
    return true;
  }

  static Float Num(const Token& t) {
    try {
      return std::stod(t.text);
    } catch (...) {
      return 0.0;
    }
  }

  void Apply(DescriptionEntry* e, const std::string& key, const std::vector<Token>& a) {
    BaseContainer& s = e->settings;
    if (key == "MIN" && !a.empty()) s.SetFloat(DESC_MIN, Num(a[0]));
    if (key == "MAX" && !a.empty()) s.SetFloat(DESC_MAX, Num(a[0]));
    if (key == "STEP" && !a.empty()) s.SetFloat(DESC_STEP, Num(a[0]));
    if (key == "UNIT" && !a.empty()) {
      s.SetInt32(DESC_UNIT, a[0].text == "PERCENT"  ? DESC_UNIT_PERCENT
                            : a[0].text == "DEGREE" ? DESC_UNIT_DEGREE
                            : a[0].text == "METER"  ? DESC_UNIT_METER
                                                    : DESC_UNIT_FLOAT);
    }
    if (key == "CUSTOMGUI" && !a.empty() && a[0].text == "REALSLIDER") {
      s.SetInt32(DESC_CUSTOMGUI, CUSTOMGUI_REALSLIDER);
    }
    if (key == "ANIM" && !a.empty())
      s.SetInt32(DESC_ANIMATE, a[0].text == "OFF" ? DESC_ANIMATE_OFF : DESC_ANIMATE_ON);
    if (key != "DEFAULT" || a.empty()) return;
    switch (e->type) {
      case DTYPE_BOOL:
      case DTYPE_LONG: {
        bool ok = false;
        Int32 v = IdOf(a[0], &ok);
        s.SetData(DESC_DEFAULT, GeData(e->type == DTYPE_BOOL ? GeData(Bool(v != 0)) : GeData(v)));
        break;
      }
      case DTYPE_REAL:
        s.SetData(DESC_DEFAULT, GeData(Num(a[0])));
        break;
      case DTYPE_VECTOR:
      case DTYPE_COLOR:
        if (a.size() >= 3) s.SetData(DESC_DEFAULT, GeData(Vector(Num(a[0]), Num(a[1]), Num(a[2]))));
        break;
      case DTYPE_STRING:
      case DTYPE_FILENAME:
        s.SetData(DESC_DEFAULT, GeData(String(a[0].text)));
        break;
      case CUSTOMDATATYPE_UNITSCALE:
        if (a.size() >= 2) {
          s.SetData(DESC_DEFAULT, GeData(UnitScaleData(Num(a[0]), UnitOfName(a[1].text))));
        }
        break;
      default:
        break;
    }
  }

  std::vector<Token> t_;
  size_t p_ = 0;
  const std::map<std::string, Int32>& sym_;
  const std::map<std::string, String>& str_;
  Description* out_;
};

}  // namespace

const std::string& GetLanguage() { return Language(); }
void SetLanguage(const std::string& language) { Language() = language; }

Bool LoadStringTable(const Filename& resDir, std::map<Int32, String>* table, std::string* error) {
  fs::path res(resDir.GetSystemPath());
  std::string symText, strText;
  if (!ReadFile(res / "c4d_symbols.h", &symText)) {
    if (error) *error = (res / "c4d_symbols.h").string() + ": cannot read";
    return false;
  }
  fs::path strFile = StringsDir(res) / "c4d_strings.str";
  if (!ReadFile(strFile, &strText)) {
    if (error) *error = strFile.string() + ": cannot read";
    return false;
  }
  std::map<std::string, Int32> symbols;
  ParseSymbols(symText, &symbols);
  std::map<std::string, String> strings;
  ParseStringTable(strText, &strings);
  table->clear();
  for (const auto& [name, text] : strings) {
    auto it = symbols.find(name);
    if (it != symbols.end()) (*table)[it->second] = text;
  }
  return true;
}

void RegisterStringTable(const Filename& resDir, std::map<Int32, String> table) {
  std::lock_guard<std::mutex> lock(gTableMutex);
  Tables()[resDir.GetSystemPath()] = std::move(table);
}

String LookupString(const Filename& resDir, Int32 id) {
  std::lock_guard<std::mutex> lock(gTableMutex);
  auto t = Tables().find(resDir.GetSystemPath());
  if (t == Tables().end()) return String();
  auto s = t->second.find(id);
  return s == t->second.end() ? String() : s->second;
}

Bool LoadDescriptionResource(const Filename& resDir, const String& name, Description* out,
                             std::string* error) {
  fs::path res(resDir.GetSystemPath());
  const std::string n = name.GetUtf8();
  std::string resText, hText, strText;
  fs::path resFile = res / "description" / (n + ".res");
  if (!ReadFile(resFile, &resText)) {
    if (error) *error = resFile.string() + ": cannot read";
    return false;
  }
  // The host's own group ids that descriptions place their parameters in (its Tbase,
  // Obase and Fbase descriptions, which a module's resources include but do not carry).
  std::map<std::string, Int32> symbols = {{"ID_TAGPROPERTIES", 998}, {"ID_OBJECTPROPERTIES", 998}};
  ReadFile(res / "c4d_symbols.h", &hText);
  ParseSymbols(hText, &symbols);
  if (ReadFile(res / "description" / (n + ".h"), &hText)) ParseSymbols(hText, &symbols);
  std::map<std::string, String> strings;
  if (ReadFile(StringsDir(res) / "description" / (n + ".str"), &strText)) {
    ParseStringTable(strText, &strings);
  }
  DescriptionParser parser(Tokenize(resText), symbols, strings, out);
  std::string why;
  if (!parser.Parse(&why)) {
    if (error) *error = resFile.string() + ": " + why;
    return false;
  }
  return true;
}

Bool LoadDialogResource(const Filename& resDir, Int32 id, std::vector<DialogGadget>* gadgets,
                        std::string* error) {
  fs::path res(resDir.GetSystemPath());
  std::string symText;
  std::map<std::string, Int32> symbols;
  if (ReadFile(res / "c4d_symbols.h", &symText)) ParseSymbols(symText, &symbols);
  std::error_code ec;
  for (auto& f : fs::directory_iterator(res / "dialogs", ec)) {
    std::string text;
    if (f.path().extension() != ".res" || !ReadFile(f.path(), &text)) continue;
    auto t = Tokenize(text);
    if (t.size() < 2 || t[0].text != "DIALOG") continue;
    auto it = symbols.find(t[1].text);
    if (it == symbols.end() || it->second != id) continue;
    std::map<std::string, String> strings;
    std::string strText;
    if (ReadFile(StringsDir(res) / "dialogs" / (f.path().stem().string() + ".str"), &strText)) {
      ParseStringTable(strText, &strings);
    }
    gadgets->clear();
    for (size_t i = 2; i + 2 < t.size(); ++i) {
      if (t[i].kind != Token::kIdent || t[i + 2].text != "{") continue;
      DialogGadget g;
      g.kind = t[i].text;
      auto s = symbols.find(t[i + 1].text);
      if (s != symbols.end()) {
        g.id = s->second;
      } else if (t[i + 1].kind == Token::kNumber) {
        g.id = static_cast<Int32>(std::stol(t[i + 1].text));
      } else {
        continue;
      }
      auto txt = strings.find(t[i + 1].text);
      if (txt != strings.end()) g.text = txt->second;
      gadgets->push_back(g);
    }
    return true;
  }
  if (error) *error = "dialog resource " + std::to_string(id) + " not found in " + res.string();
  return false;
}

}  // namespace host
