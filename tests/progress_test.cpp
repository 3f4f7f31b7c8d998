// The one place where events become lines: every line's wording, the names
// shown on one line whatever bytes they hold, and the counts a run keeps.
#include "progress.h"

#include <gtest/gtest.h>

namespace {

using kv::EventKind;
using kv::FormatLine;
using kv::ProgressEvent;

TEST(Progress, EachEventHasItsLine) {
  struct Case {
    ProgressEvent event;
    std::optional<std::string> line;
  };
  const Case cases[] = {
      {{.kind = EventKind::SolutionParsing, .name = "App.sln"}, "Parsing Solution [App.sln]"},
      {{.kind = EventKind::ProjectFound, .name = "A.csproj"}, "Find Project [A.csproj]"},
      {{.kind = EventKind::FileParsing, .name = "A.cs"}, "Parsing Project [A.cs]"},
      {{.kind = EventKind::FormFound, .name = "F\\a.frm"}, "Found Form [F\\a.frm]"},
      {{.kind = EventKind::ModuleFound, .name = ""}, "Found Module []"},
      {{.kind = EventKind::ClassFound, .name = "c.cls"}, "Found Class [c.cls]"},
      {{.kind = EventKind::UserControlFound, .name = "u.ctl"}, "Found UserControl [u.ctl]"},
      {{.kind = EventKind::PropertyPageFound, .name = "p.pag"}, "Found PropertyPage [p.pag]"},
      {{.kind = EventKind::UserDocumentFound, .name = "d.dob"}, "Found UserDocument [d.dob]"},
      {{.kind = EventKind::DesignerFound, .name = "e.dsr"}, "Found Designer [e.dsr]"},
      {{.kind = EventKind::GroupProjectFound, .name = "A\\A.vbp"}, "Found Project [A\\A.vbp]"},
      {{.kind = EventKind::WebProjectSkipped, .name = "http://h/W.csproj"},
       "Skipping web project [http://h/W.csproj]"},
      {{.kind = EventKind::KeyReplaced, .name = "P.vbp"}, "Replacing key in [P.vbp]"},
      {{.kind = EventKind::FileMissing, .name = "..\\x.bas"}, "Can't find the : ..\\x.bas"},
      {{.kind = EventKind::NotModified, .name = "B.vb", .path = "/p/B.vb", .error = EACCES},
       "Could not modify [B.vb]"},
      {{.kind = EventKind::Stopped,
        .path = "/p/a\nb",
        .error = EIO,
        .stop = kv::StopCause::ReadFailed},
       "Stopped: could not read [/p/a\\x0Ab]: Input/output error; no file was changed"},
      {{.kind = EventKind::Stopped,
        .path = "/p/a",
        .error = ENOSPC,
        .stop = kv::StopCause::WriteFailed},
       "Stopped: could not write [/p/a]: No space left on device; no file was changed"},
      {{.kind = EventKind::Stopped,
        .path = "/p/a",
        .error = EIO,  // the detail, not the errno, is shown
        .detail = "the file changed during the run",
        .stop = kv::StopCause::WriteFailed},
       "Stopped: could not write [/p/a]: the file changed during the run; no file was changed"},
      {{.kind = EventKind::Stopped,
        .path = "/p/a",
        .error = EROFS,
        .stop = kv::StopCause::CommitPending},
       "Stopped: could not write [/p/a]: Read-only file system; the next run over the project "
       "completes the change"},
      {{.kind = EventKind::Stopped,
        .path = "/p/j",
        .error = EIO,
        .stop = kv::StopCause::RecoveryFailed},
       "Stopped: could not complete an interrupted run's change [/p/j]: Input/output error; no "
       "file was changed"},
      {{.kind = EventKind::Stopped, .detail = "bad_alloc"},
       "Stopped: bad_alloc; no file was changed"},
      {{.kind = EventKind::Finished}, "Finish..."},
      {{.kind = EventKind::SourceMissing, .name = "x.cs"}, std::nullopt},
      {{.kind = EventKind::FileConverted, .name = "x.cs"}, std::nullopt},
      {{.kind = EventKind::Cancelled}, "Stopped: interrupted; no file was changed"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatLine(c.event), c.line);
}

TEST(Progress, NamesStayOnOneLine) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string shown = kv::ShowName(all);
  for (const char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(byte >= 0x20 && byte != 0x7F) << int(byte);
  }
  EXPECT_EQ(kv::ShowName(std::string("a\0b\x1b[2J\x7f\xe9", 9)), "a\\x00b\\x1B[2J\\x7F\xe9");
}

TEST(Progress, CountsComeFromEvents) {
  kv::RunCounts counts;
  for (const ProgressEvent& e : {ProgressEvent{.kind = EventKind::FileConverted, .changed = true},
                                 ProgressEvent{.kind = EventKind::FileConverted},
                                 ProgressEvent{.kind = EventKind::FormFound}}) {
    counts.Add(e);
  }
  EXPECT_EQ(counts.converted, 2u);
  EXPECT_EQ(counts.changed, 1u);
  EXPECT_FALSE(counts.Incomplete());
  for (const EventKind k : {EventKind::FileMissing, EventKind::SourceMissing,
                            EventKind::NotModified, EventKind::WebProjectSkipped}) {
    kv::RunCounts one;
    one.Add({.kind = k});
    EXPECT_TRUE(one.Incomplete());
  }
}

}  // namespace
