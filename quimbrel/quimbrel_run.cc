// SPDX-License-Identifier: Apache-2.0
#include "quimbrel/quimbrel_run.h"

#include <cstdint>
#include <cstdio>

#include "common/args_console.h"
#include "common/fatal.h"
#include "common/message_reader.h"
#include "common/run_files.h"
#include "quimbrel/quimbrel_core.h"

namespace quimbrel {

int run(int argc, const char* const* argv) {
  common::route_eccodes_assertions();
  const auto filein = common::ArgumentField::fetch(argc, argv, 1);
  const auto fileout = common::ArgumentField::fetch(argc, argv, 2);
  const std::optional<std::int32_t> nskip = read_nskip(common::ArgumentField::fetch(argc, argv, 3));
  if (common::usage_requested(
          filein, fileout, nskip.has_value(),
          {"Uso: quimbrel.exe filein fileout NSKIP", "NSKIP > 0: salta i primi NSKIP campi",
           "NSKIP < 0: scrive solo i primi -NSKIP campi"})) {
    return common::kExitSuccess;
  }

  common::GribFiles files = common::open_grib_files(filein, fileout);
  common::MessageReader reader(::fileno(files.input.get()));
  // Messages kept are written from the reader's buffer, several at once,
  // before it reuses the buffer.
  reader.set_release([&files] { files.output->flush(); });

  // Messages are copied as the bytes read, one at a time; none is decoded.
  std::int64_t written_count = 0;
  std::int64_t ordinal = 1;
  for (;; ++ordinal) {
    common::set_current_message(ordinal);
    const common::ReadOutcome message = reader.next();
    if (message.status == common::ReadStatus::kEndOfFile) {
      if (*nskip > 0) {
        // Closed first: the accounting line is never printed for an output
        // that could not be completed.
        files.output->close();
        common::write_stdout(common::console_line(
            {"Elaborazioni completate, campi letti ", ordinal - 1, " scritti ", written_count}));
        return common::kExitSuccess;
      }
      break;
    }
    if (message.status == common::ReadStatus::kError) {
      // Closed first: a console that cannot be written never costs written messages.
      files.output->close();
      throw common::read_failure(filein, ordinal);
    }
    const Selection selection = select_message(*nskip, ordinal);
    if (selection == Selection::kStop) break;
    if (selection == Selection::kWrite) {
      files.output->write(message.bytes, message.size);
      ++written_count;
    }
  }

  files.output->close();
  if (ordinal - 1 != written_count) {
    common::write_stdout(common::console_line({"Codizione inattesa, chiamare l'assistenza!"}));
  }
  common::write_stdout(
      common::console_line({"Elaborazioni completate, letti e scritti ", written_count, " campi"}));
  return common::kExitSuccess;
}

}  // namespace quimbrel
