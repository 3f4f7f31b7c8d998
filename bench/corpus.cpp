#include "corpus.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "rules.h"

namespace kvbench {

namespace {

// Identifier parts. None of them, alone or joined, spells a rule's old text:
// "Color" is left out on purpose, while the beginnings of the rows (Active,
// Fill, Pen, Text, Grip, Save, re..., v...) are kept, so that the scan meets
// the near misses that real code holds.
constexpr std::string_view kParts[] = {
    "Drawing", "Layer",   "Render",  "Viewer",   "Document", "Entity",   "Record",  "Reader",
    "Writer",  "Server",  "Vertex",  "Vector",   "Value",    "Revision", "Preview", "Reverse",
    "Canvas",  "Area",    "Point",   "Size",     "Width",    "Height",   "Name",    "Index",
    "Count",   "Item",    "List",    "Map",      "Table",    "Row",      "Shape",   "Style",
    "Event",   "Handler", "Request", "Result",   "Report",   "Resource", "Service", "Provider",
    "Builder", "Buffer",  "Stream",  "Text",     "Block",    "Line",     "Arc",     "Circle",
    "Hatch",   "View",    "Model",   "Space",    "Option",   "Setting",  "Cache",   "Query",
    "Filter",  "Visible", "Current", "Active",   "Fill",     "Pen",      "Grip",    "Save",
    "Remove",  "Reset",   "Refresh", "Validate", "Version",  "Extent",   "Bounds",  "Offset"};
constexpr std::string_view kLocals[] = {
    "document", "layer",    "reader",  "result",  "value",   "index",  "view",   "row",
    "entity",   "revision", "preview", "request", "service", "record", "vertex", "writer",
    "renderer", "viewer",   "options", "current", "server",  "buffer", "stream", "count"};
constexpr std::string_view kTypes[] = {"int",    "string", "bool",   "double", "object",
                                       "var",    "float",  "long",   "Layer",  "Document",
                                       "Record", "Vertex", "Result", "Entity", "Request"};
constexpr std::string_view kMods[] = {"public",          "private",          "protected",
                                      "internal",        "public static",    "private static",
                                      "public override", "protected virtual"};
constexpr std::string_view kWords[] = {
    "the",    "reverse", "revision", "order",   "before", "preview", "is",      "refreshed",
    "value",  "every",   "record",   "returns", "over",   "server",  "drawing", "layer",
    "view",   "current", "vertex",   "are",     "were",   "never",   "very",    "review",
    "where",  "there",   "here",     "render",  "ready",  "from",    "with",    "into",
    "after",  "a",       "an",       "of",      "to",     "for",     "when",    "visible",
    "remove", "reset",   "cache",    "request", "valid",  "version", "of",      "each"};
constexpr std::string_view kMethods[] = {
    "ToString", "Add",      "Remove",   "Reverse",  "Refresh", "Validate",  "Reset",
    "Equals",   "Format",   "Parse",    "Write",    "Read",    "Begin",     "End",
    "Clear",    "Contains", "GetValue", "SetValue", "Render",  "Invalidate"};

template <typename T, size_t N>
std::string_view Pick(Rng& rng, const T (&list)[N]) {
  return list[rng.Below(N)];
}

// Old text of a row in the letter case a developer might have typed.
std::string VaryCase(Rng& rng, std::string_view text) {
  std::string out(text);
  switch (rng.Below(8)) {
    case 0:
    case 1:
      for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
      break;
    case 2:
      for (char& c : out) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
      break;
    default:
      break;
  }
  return out;
}

class CSharpWriter {
 public:
  CSharpWriter(uint64_t seed)
      : rng_(seed), guids_(kv::BuildGuidRules()), texts_(kv::BuildTextRules()) {}

  // Appends one line of noise (no rule match) to `out`.
  void Noise(std::string& out) {
    switch (state_) {
      case State::FileStart:
        out += "using System;\r\nusing System.Collections.Generic;\r\n\r\nnamespace ";
        Ident(out);
        out += "\r\n{\r\n";
        state_ = State::ClassStart;
        return;
      case State::ClassStart:
        Indent(out, 1);
        out += Pick(rng_, kMods).substr(0, 6) == "public" ? "public class " : "internal class ";
        Ident(out);
        out += "\r\n";
        Indent(out, 1);
        out += "{\r\n";
        state_ = State::MethodStart;
        methods_ = 3 + rng_.Below(20);
        return;
      case State::MethodStart:
        Indent(out, 2);
        out += Pick(rng_, kMods);
        out += ' ';
        out += rng_.Below(3) == 0 ? std::string_view("void") : Pick(rng_, kTypes);
        out += ' ';
        Ident(out);
        out += '(';
        for (size_t a = 0, n = rng_.Below(3); a < n; ++a) {
          if (a) out += ", ";
          out += Pick(rng_, kTypes);
          out += ' ';
          out += Pick(rng_, kLocals);
        }
        out += ")\r\n";
        Indent(out, 2);
        out += "{\r\n";
        state_ = State::Body;
        body_ = 2 + rng_.Below(14);
        return;
      case State::Body:
        Statement(out);
        if (--body_ == 0) state_ = State::MethodEnd;
        return;
      case State::MethodEnd:
        Indent(out, 2);
        out += "}\r\n\r\n";
        state_ = --methods_ == 0 ? State::ClassEnd : State::MethodStart;
        return;
      case State::ClassEnd:
        Indent(out, 1);
        out += "}\r\n}\r\n\r\n";
        state_ = State::FileStart;
        return;
    }
  }

  // Appends one line that holds exactly one rule match.
  void Match(std::string& out) {
    const size_t r = rng_.Below(guids_.size() + texts_.size());
    const bool guid = r < guids_.size();
    const std::string& old = guid ? guids_[r].oldText : texts_[r - guids_.size()].oldText;
    Indent(out, 3);
    if (guid) {
      out += "[Guid(\"";
      out += VaryCase(rng_, old);
      out += "\")]\r\n";
    } else if (old[0] == '.') {
      out += Pick(rng_, kLocals);
      out += VaryCase(rng_, old);
      out += " = ";
      Number(out);
      out += ";\r\n";
    } else if (rng_.Below(2) == 0) {
      out += "var ";
      out += Pick(rng_, kLocals);
      out += " = new ";
      out += VaryCase(rng_, old);
      out += '.';
      out += Pick(rng_, kParts);
      out += "();\r\n";
    } else {
      out += "using ";
      out += VaryCase(rng_, old);
      out += ";\r\n";
    }
  }

  // A comment line of exactly `n` bytes (n >= 4), or `n` spaces.
  static void Pad(std::string& out, size_t n) {
    if (n >= 4) {
      out += "//";
      out.append(n - 4, 'x');
      out += "\r\n";
    } else {
      out.append(n, ' ');
    }
  }

 private:
  enum class State { FileStart, ClassStart, MethodStart, Body, MethodEnd, ClassEnd };

  void Indent(std::string& out, int level) { out.append(static_cast<size_t>(level) * 4, ' '); }
  void Ident(std::string& out) {
    out += Pick(rng_, kParts);
    if (rng_.Below(2)) out += Pick(rng_, kParts);
  }
  void Number(std::string& out) { out += std::to_string(rng_.Below(4096)); }
  void Words(std::string& out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (i) out += ' ';
      out += Pick(rng_, kWords);
    }
  }
  void Statement(std::string& out) {
    Indent(out, 3);
    switch (rng_.Below(12)) {
      case 0:
        out += Pick(rng_, kTypes);
        out += ' ';
        out += Pick(rng_, kLocals);
        out += " = ";
        out += Pick(rng_, kLocals);
        out += '.';
        Ident(out);
        out += '.';
        out += Pick(rng_, kMethods);
        out += "(";
        out += Pick(rng_, kLocals);
        out += ");\r\n";
        return;
      case 1:
        out += "if (";
        out += Pick(rng_, kLocals);
        out += " == null) return ";
        out += rng_.Below(2) ? "false;\r\n" : "null;\r\n";
        return;
      case 2:
        out += "// ";
        Words(out, 4 + rng_.Below(8));
        out += ".\r\n";
        return;
      case 3:
        out += "foreach (var ";
        out += Pick(rng_, kLocals);
        out += " in this.";
        Ident(out);
        out += "s) ";
        out += Pick(rng_, kLocals);
        out += '.';
        out += Pick(rng_, kMethods);
        out += "();\r\n";
        return;
      case 4:
        out += Pick(rng_, kLocals);
        out += '.';
        Ident(out);
        out += " = ";
        Number(out);
        out += ";\r\n";
        return;
      case 5:
        out += "return ";
        out += Pick(rng_, kLocals);
        out += '.';
        Ident(out);
        out += ".ToString();\r\n";
        return;
      case 6:
        out += "throw new ArgumentException(\"";
        Words(out, 3 + rng_.Below(5));
        out += "\");\r\n";
        return;
      case 7:
        out += "var ";
        out += Pick(rng_, kLocals);
        out += " = new ";
        Ident(out);
        out += "(";
        out += Pick(rng_, kLocals);
        out += ", ";
        Number(out);
        out += ");\r\n";
        return;
      case 10:
        out += "var ";
        out += Pick(rng_, kLocals);
        out += "s = new List<";
        out += Pick(rng_, kParts);
        out += ">();\r\n";
        return;
      case 11:
        out += "var ";
        out += Pick(rng_, kLocals);
        out += " = this.";
        Ident(out);
        out += "s.Where(x => x.";
        out += Pick(rng_, kParts);
        out += " > ";
        Number(out);
        out += ").ToList();\r\n";
        return;
      case 8:
        out += "Console.WriteLine(\"";
        Words(out, 2 + rng_.Below(6));
        out += ": {0}\", ";
        out += Pick(rng_, kLocals);
        out += ".Value);\r\n";
        return;
      default:
        out += "this.";
        out += Pick(rng_, kLocals);
        out += " = ";
        out += Pick(rng_, kLocals);
        out += " ?? ";
        out += Pick(rng_, kLocals);
        out += ";\r\n";
        return;
    }
  }

  Rng rng_;
  kv::RuleTable guids_;
  kv::RuleTable texts_;
  State state_ = State::FileStart;
  size_t methods_ = 0;
  size_t body_ = 0;
};

std::string SedEscapePattern(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '.' || c == '[' || c == ']' || c == '*' || c == '^' || c == '$' || c == '\\' ||
        c == '/') {
      out += '\\';
    }
    out += c;
  }
  return out;
}

std::string SedEscapeReplacement(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '&' || c == '\\' || c == '/') out += '\\';
    out += c;
  }
  return out;
}

// prefix + number + suffix, built by appending (GCC 12 at -O3 warns wrongly
// about "literal" + std::string temporaries).
std::string Numbered(std::string_view prefix, size_t n, std::string_view suffix = {}) {
  std::string out(prefix);
  out += std::to_string(n);
  out += suffix;
  return out;
}

void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

std::string MakeCSharpText(size_t bytes, size_t matchEvery, uint64_t seed, size_t* matches) {
  CSharpWriter writer(seed);
  std::string out;
  out.reserve(bytes);
  std::string line;
  size_t placed = 0;
  size_t nextMatch = matchEvery;
  for (;;) {
    line.clear();
    const bool match = matchEvery != 0 && out.size() + 128 >= nextMatch;
    if (match) {
      writer.Match(line);
    } else {
      writer.Noise(line);
    }
    if (out.size() + line.size() > bytes) break;
    out += line;
    if (match) {
      ++placed;
      nextMatch += matchEvery;
    }
  }
  CSharpWriter::Pad(out, bytes - out.size());
  if (matches) *matches = placed;
  return out;
}

std::string MakeVb6Text(size_t bytes, size_t matchEvery, uint64_t seed, bool form) {
  Rng rng(seed);
  const kv::RuleTable guids = kv::BuildGuidRules();
  const kv::RuleTable texts = kv::BuildTextRules();
  std::string out = "VERSION 5.00\r\n";
  out += "Object = \"" + guids[2].oldText + "#1.0#0\"; \"VUVedaZir.ocx\"\r\n";
  if (form) {
    out += "Begin VB.Form frmBench\r\n   Caption         =   \"Bench\"\r\n";
    out +=
        "   Begin VUVedaZir.Canvas Canvas1\r\n      Height          =   2655\r\n   End\r\nEnd\r\n";
  }
  out += "Attribute VB_Name = \"Bench\"\r\nOption Explicit\r\n\r\n";
  size_t nextMatch = out.size() + matchEvery;
  while (out.size() < bytes) {
    if (matchEvery != 0 && out.size() >= nextMatch) {
      const kv::RuleRow& row = texts[rng.Below(texts.size())];
      if (row.oldText[0] == '.') {
        out += "    Canvas1" + VaryCase(rng, row.oldText) + " = vbRed\r\n";
      } else {
        out += "    Dim d As " + VaryCase(rng, row.oldText) + ".Drawing\r\n";
      }
      nextMatch += matchEvery;
      continue;
    }
    out += "Private Sub ";
    out += Pick(rng, kParts);
    out += "_Click()\r\n    Dim r As Long\r\n    r = ";
    out += Pick(rng, kLocals);
    out += '.';
    out += Pick(rng, kParts);
    out += "\r\n    ' ";
    for (size_t i = 0, n = 3 + rng.Below(6); i < n; ++i) {
      out += Pick(rng, kWords);
      out += ' ';
    }
    out += "\r\nEnd Sub\r\n\r\n";
  }
  return out;
}

std::string MakeProjectText(size_t files, uint64_t seed) {
  Rng rng(seed);
  const kv::RuleTable guids = kv::BuildGuidRules();
  std::string out =
      "<VisualStudioProject>\r\n    <CSHARP\r\n        ProjectType = \"Local\"\r\n"
      "        ProductVersion = \"7.10.3077\"\r\n        SchemaVersion = \"2.0\"\r\n    >\r\n"
      "        <Build>\r\n            <References>\r\n";
  const char* names[] = {"REDidIzo", "RUVivEvu", "VUVedaZir"};
  for (size_t r = 0; r < guids.size(); ++r) {
    out += "                <Reference\r\n                    Name = \"";
    out += names[r % 3];
    out += "\"\r\n                    Guid = \"" + guids[r].oldText + "\"\r\n";
    out += "                    VersionMajor = \"";
    out += std::to_string(1 + rng.Below(4));
    out += "\"\r\n";
    out += "                    VersionMinor = \"";
    out += std::to_string(rng.Below(3));
    out += "\"\r\n";
    out += "                    Lcid = \"0\"\r\n                    WrapperTool = \"tlbimp\"\r\n";
    out += "                />\r\n";
  }
  out +=
      "            </References>\r\n        </Build>\r\n        <Files>\r\n            "
      "<Include>\r\n";
  for (size_t i = 0; i < files; ++i) {
    out += "                <File\r\n                    RelPath = \"Src\\F";
    out += std::to_string(i);
    out += i % 16 == 15 ? ".ico" : i % 8 == 7 ? ".resx" : ".cs";
    out += "\"\r\n                    BuildAction = \"Compile\"\r\n                />\r\n";
  }
  out +=
      "            </Include>\r\n        </Files>\r\n    </CSHARP>\r\n</VisualStudioProject>\r\n";
  return out;
}

std::string SedScript() {
  std::string out;
  for (const kv::RuleTable& table : {kv::BuildGuidRules(), kv::BuildTextRules()}) {
    for (const kv::RuleRow& row : table) {
      out +=
          "s/" + SedEscapePattern(row.oldText) + "/" + SedEscapeReplacement(row.newText) + "/gI\n";
    }
  }
  return out;
}

std::string RuleLines() {
  std::string out;
  for (const kv::RuleTable& table : {kv::BuildGuidRules(), kv::BuildTextRules()}) {
    for (const kv::RuleRow& row : table) out += row.oldText + "\t" + row.newText + "\n";
  }
  return out;
}

TreeSummary WriteDotNetTree(const std::string& folder, const TreeOptions& options) {
  namespace fs = std::filesystem;
  if (options.projects == 0 || options.files < options.projects) {
    throw std::invalid_argument("need at least one source file per project");
  }
  Rng rng(options.seed);
  const fs::path root(folder);
  fs::create_directories(root);
  TreeSummary summary;

  // Sizes: weights from 0.2 to 1.8, scaled so that they add up to the total.
  std::vector<double> weight(options.files);
  double sum = 0;
  for (double& w : weight) {
    w = 0.2 + 1.6 * static_cast<double>(rng.Below(1 << 20)) / (1 << 20);
    sum += w;
  }

  std::string sln = "Microsoft Visual Studio Solution File, Format Version 8.00\r\n";
  std::string manifest;
  size_t fileIndex = 0;
  for (size_t p = 0; p < options.projects; ++p) {
    const std::string name = Numbered("P", p);
    sln += "Project(\"{FAE04EC0-301F-11D3-BF4B-00C04F79EFBC}\") = \"" + name + "\", \"" + name +
           "\\" + name + ".csproj\", \"" + Numbered("{00000000-0000-0000-0000-", 100000000000 + p) +
           "}\"\r\n\tProjectSection(ProjectDependencies) = postProject\r\n"
           "\tEndProjectSection\r\nEndProject\r\n";
    // Files of this project, and their names as the project lists them.
    const size_t count = options.files / options.projects + (p < options.files % options.projects);
    // Listed names include one ".ico" in sixteen, which has no file; the
    // others are the project's sources.
    size_t listed = 0;
    for (size_t made = 0; made < count; ++listed) {
      if (listed % 16 != 15) ++made;
    }
    const std::string project = MakeProjectText(listed, options.seed * 7919 + p);
    const fs::path projectPath = root / name / (name + ".csproj");
    WriteBytes(projectPath, project);
    manifest += name + "/" + name + ".csproj\n";
    summary.files++;
    summary.bytes += project.size();
    summary.largest = std::max(summary.largest, project.size());
    for (size_t i = 0; i < listed; ++i) {
      if (i % 16 == 15) continue;
      const std::string file = Numbered("F", i, i % 8 == 7 ? ".resx" : ".cs");
      const size_t bytes =
          static_cast<size_t>(static_cast<double>(options.totalBytes) * weight[fileIndex++] / sum);
      size_t matches = 0;
      const std::string text =
          MakeCSharpText(bytes, options.matchEvery, options.seed * 104729 + fileIndex, &matches);
      WriteBytes(root / name / "Src" / file, text);
      manifest += name + "/Src/" + file + "\n";
      summary.files++;
      summary.bytes += text.size();
      summary.largest = std::max(summary.largest, text.size());
      summary.matches += matches;
    }
  }
  sln += "Global\r\nEndGlobal\r\n";
  WriteBytes(root / "Bench.sln", sln);
  WriteBytes(root / "Bench.files", manifest);
  return summary;
}

TreeSummary WriteVb6Project(const std::string& folder, size_t forms, size_t modules,
                            size_t bytesPerFile, uint64_t seed) {
  namespace fs = std::filesystem;
  const fs::path root(folder);
  fs::create_directories(root);
  const kv::RuleTable guids = kv::BuildGuidRules();
  TreeSummary summary;
  std::string vbp = "Type=Exe\r\n";
  vbp += "Reference=*\\G" + guids[0].oldText + "#1.0#0#..\\Korvane\\REDidIzo.dll#Drawing\r\n";
  vbp += "Reference=*\\G" + guids[1].oldText + "#2.1#0#..\\Korvane\\RUVivEvu.dll#Viewer\r\n";
  vbp += "Object=" + guids[2].oldText + "#1.0#0; VUVedaZir.ocx\r\n";
  std::string manifest;
  auto add = [&](const std::string& rel, const std::string& text) {
    WriteBytes(root / rel, text);
    manifest += rel + "\n";
    summary.files++;
    summary.bytes += text.size();
    summary.largest = std::max(summary.largest, text.size());
  };
  for (size_t i = 0; i < forms; ++i) {
    const std::string rel = Numbered("Forms/frm", i, ".frm");
    vbp += Numbered("Form=Forms\\frm", i, ".frm\r\n");
    add(rel, MakeVb6Text(bytesPerFile, 2048, seed * 31 + i, true));
  }
  for (size_t i = 0; i < modules; ++i) {
    const std::string rel = Numbered("Modules/mod", i, ".bas");
    vbp += Numbered("Module=mod", i, "; Modules\\mod") + Numbered("", i, ".bas\r\n");
    add(rel, MakeVb6Text(bytesPerFile, 2048, seed * 37 + i, false));
  }
  vbp += "Startup=\"frm0\"\r\nName=\"Bench\"\r\n";
  add("Bench.vbp", vbp);
  WriteBytes(root / "Bench.files", manifest);
  return summary;
}

}  // namespace kvbench
