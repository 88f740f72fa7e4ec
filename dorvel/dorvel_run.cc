// SPDX-License-Identifier: Apache-2.0
#include "dorvel/dorvel_run.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

#include "common/args_console.h"
#include "common/fatal.h"
#include "common/message_reader.h"
#include "common/run_files.h"
#include "dorvel/dorvel_core.h"
#include "dorvel/field_decoding.h"

namespace dorvel {
namespace {

using common::FatalError;

// Reads the field of message `ordinal` into its column, narrowing each value
// to the nearest float. Any count other than kGridPoints is fatal.
void read_field(const codes_handle* handle, int ordinal, std::vector<double>& transfer,
                std::span<float> column) {
  std::size_t count = 0;
  common::check(codes_get_size(handle, "values", &count), "reading the size of key values");
  if (count != kGridPoints) {
    throw FatalError(common::message_context(ordinal) + "holds " +
                     common::counted(static_cast<std::int64_t>(count), "value") +
                     "; every field must hold " + std::to_string(kGridPoints));
  }
  common::check(codes_get_double_array(handle, "values", transfer.data(), &count),
                "reading key values");
  for (std::size_t point = 0; point < kGridPoints; ++point) {
    column[point] = static_cast<float>(transfer[point]);
  }
}

std::int32_t read_int32_key(const codes_handle* handle, const char* key) {
  long value = 0;
  common::check(codes_get_long(handle, key, &value), std::string("reading key ") + key);
  return static_cast<std::int32_t>(std::clamp<long>(value, std::numeric_limits<std::int32_t>::min(),
                                                    std::numeric_limits<std::int32_t>::max()));
}

// The output message: a copy of the twelfth with the residual and P2 set.
common::GribHandle residual_message(const codes_handle* twelfth, std::span<const float> residual,
                                    std::vector<double>& transfer) {
  long edition = 0;
  common::check(codes_get_long(twelfth, "edition", &edition), "reading key edition");
  if (edition != 1) {
    throw FatalError(common::message_context(kFieldsRead) + "edition " + std::to_string(edition) +
                     ": dorvel reads edition-1 fields (it sets P2, an edition-1 key)");
  }
  common::GribHandle output(codes_handle_clone(twelfth));
  if (!output) throw FatalError(common::message_context(kFieldsRead) + "cloning the message");
  for (std::size_t point = 0; point < kGridPoints; ++point) {
    transfer[point] = static_cast<double>(residual[point]);
  }
  common::check(codes_set_double_array(output.get(), "values", transfer.data(), kGridPoints),
                "setting key values");
  common::check(codes_set_long(output.get(), "P2", kP2Value), "setting key P2");
  return output;
}

}  // namespace

int run(int argc, const char* const* argv) {
  common::route_eccodes_assertions();
  const auto filein = common::ArgumentField::fetch(argc, argv, 1);
  const auto fileout = common::ArgumentField::fetch(argc, argv, 2);
  if (common::usage_requested(filein, fileout, true, {"Uso: dorvel.exe filein fileout"})) {
    return common::kExitSuccess;
  }

  common::GribFiles files = common::open_grib_files(filein, fileout);
  common::MessageReader reader(::fileno(files.input.get()));

  FieldStack fields;
  std::vector<float> residual(kGridPoints);
  std::vector<double> transfer(kGridPoints);
  // Declared before the twelfth's handle, which refers to it: freed after it.
  DecodeBuffer decode_buffer;
  common::GribHandle twelfth;
  int messages_read = 0;
  for (int ordinal = 1; ordinal <= kFieldsRead; ++ordinal) {
    const common::ReadOutcome message = reader.next();
    if (message.status == common::ReadStatus::kEndOfFile) break;
    // Nothing is written yet: the output stays empty.
    if (message.status == common::ReadStatus::kError) throw common::read_failure(filein, ordinal);
    common::set_current_message(ordinal);
    common::GribHandle loaded = load_message(decode_buffer, message, filein, ordinal);
    read_field(loaded.get(), ordinal, transfer, fields.column(ordinal));
    messages_read = ordinal;
    // Released before the next message takes its place in the decode buffer.
    if (ordinal == kFieldsRead) {
      twelfth = std::move(loaded);
    } else {
      release(std::move(loaded));
    }
  }
  if (!twelfth) {
    throw FatalError(std::string(filein.text()) + ": the input holds " +
                     common::counted(messages_read, "message") + "; " +
                     std::to_string(kFieldsRead) + " are needed (no twelfth message to read " +
                     "dataDate from)");
  }

  compute_residual(fields, residual);
  const std::int32_t data_date = read_int32_key(twelfth.get(), "dataDate");
  const std::int32_t data_time = read_int32_key(twelfth.get(), "dataTime");
  const std::int32_t negative_count = count_negative(residual);
  const float mean = mean_of(residual);
  // Built and encoded before the summary line: a run that cannot make its
  // message prints no summary that a script could take for a result.
  common::GribHandle output = residual_message(twelfth.get(), residual, transfer);
  common::write_stdout(summary_line(data_date, data_time, negative_count, mean));

  common::set_current_message(0);
  files.output->write(output.get());
  release(std::move(output));
  release(std::move(twelfth));
  files.output->close();
  return common::kExitSuccess;
}

}  // namespace dorvel
