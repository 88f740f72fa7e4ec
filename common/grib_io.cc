#include "common/grib_io.h"

#include <grib_api.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace common {
namespace {

std::string system_error_text(int error) {
  return error != 0 ? std::strerror(error) : "short write";
}

}  // namespace

void check(int status, std::string_view what) {
  if (status == CODES_SUCCESS) return;
  throw FatalError(std::string(what) + ": " + codes_get_error_message(status));
}

FilePtr open_input(const ArgumentField& filein) {
  FilePtr input(std::fopen(std::string(filein.text()).c_str(), "r"));
  if (input) std::setvbuf(input.get(), nullptr, _IOFBF, kFileBufferBytes);
  return input;
}

bool is_same_file(std::FILE* input, const ArgumentField& fileout) {
  struct stat input_status {};
  struct stat output_status {};
  if (::fstat(::fileno(input), &input_status) != 0) return false;
  if (::stat(std::string(fileout.text()).c_str(), &output_status) != 0) return false;
  return input_status.st_dev == output_status.st_dev && input_status.st_ino == output_status.st_ino;
}

OutputFile::OutputFile(const ArgumentField& fileout)
    : name_(fileout.text()), file_(std::fopen(name_.c_str(), "w")) {
  if (!file_) {
    throw FatalError("opening output file " + name_ + ": " + system_error_text(errno));
  }
  // Blocks are assembled here from whole messages, so stdio must not split them.
  std::setvbuf(file_.get(), nullptr, _IONBF, 0);
  pending_.reserve(kFileBufferBytes);
}

OutputFile::~OutputFile() {
  if (!file_) return;
  try {
    write_pending();
  } catch (const FatalError&) {
    // Already unwinding from another failure; the file holds whole messages only.
  }
}

void OutputFile::write(const unsigned char* bytes, std::size_t size) {
  if (pending_.size() + size > kFileBufferBytes) write_pending();
  if (size >= kFileBufferBytes) {
    errno = 0;
    const std::size_t reached = std::fwrite(bytes, 1, size, file_.get());
    if (reached != size) fail(errno, 0);
    committed_bytes_ += static_cast<off_t>(size);
    return;
  }
  pending_.insert(pending_.end(), bytes, bytes + size);
  pending_ends_.push_back(pending_.size());
}

void OutputFile::write(const codes_handle* handle) {
  const void* message = nullptr;
  std::size_t size = 0;
  check(codes_get_message(handle, &message, &size), "getting the encoded message");
  write(static_cast<const unsigned char*>(message), size);
}

void OutputFile::close() {
  write_pending();
  std::FILE* file = file_.release();
  if (std::fclose(file) != 0) {
    throw FatalError("closing output file " + name_ + ": " + system_error_text(errno));
  }
}

void OutputFile::write_pending() {
  if (pending_.empty()) return;
  errno = 0;
  const std::size_t reached = std::fwrite(pending_.data(), 1, pending_.size(), file_.get());
  if (reached != pending_.size()) {
    std::size_t whole = 0;
    for (const std::size_t end : pending_ends_) {
      if (end <= reached) whole = end;
    }
    fail(errno, whole);
  }
  committed_bytes_ += static_cast<off_t>(pending_.size());
  pending_.clear();
  pending_ends_.clear();
}

void OutputFile::fail(int error, std::size_t whole_bytes) {
  committed_bytes_ += static_cast<off_t>(whole_bytes);
  pending_.clear();
  pending_ends_.clear();
  // Part of a message may have reached the file: cut it back to the last
  // message end. Devices and pipes cannot be cut and need not be.
  struct stat status {};
  if (::fstat(::fileno(file_.get()), &status) == 0 && S_ISREG(status.st_mode)) {
    static_cast<void>(::ftruncate(::fileno(file_.get()), committed_bytes_));
  }
  throw FatalError("writing output file " + name_ + ": " + system_error_text(error));
}

GribFiles open_grib_files(const ArgumentField& filein, const ArgumentField& fileout) {
  GribFiles files;
  files.input = open_input(filein);
  if (!files.input) {
    write_stdout(console_line({"Errore aprendo ", filein.text()}));
    files.failure_status = kExitFailure;
    return files;
  }
  // Opening the output empties it: it must not be the input.
  if (is_same_file(files.input.get(), fileout)) {
    write_stdout(
        console_line({"Errore: il file di output coincide con il file di input ", fileout.text()}));
    files.failure_status = kExitFailure;
    return files;
  }
  files.output = std::make_unique<OutputFile>(fileout);
  return files;
}

ReadOutcome read_next_message(std::FILE* input) {
  ReadOutcome outcome;
  std::size_t size = 0;
  off_t offset = 0;
  int error = CODES_SUCCESS;
  outcome.bytes.reset(static_cast<unsigned char*>(
      wmo_read_grib_from_file_malloc(input, 0, &size, &offset, &error)));
  if (error == CODES_END_OF_FILE && !outcome.bytes) {
    outcome.status = ReadStatus::kEndOfFile;
  } else if (error != CODES_SUCCESS || !outcome.bytes) {
    outcome.status = ReadStatus::kError;
    outcome.error = error;
    outcome.bytes.reset();
  } else {
    outcome.status = ReadStatus::kMessage;
    outcome.size = size;
  }
  return outcome;
}

GribHandle handle_from_message(const ReadOutcome& message) {
  if (message.status != ReadStatus::kMessage) return nullptr;
  return GribHandle(codes_handle_new_from_message_copy(nullptr, message.bytes.get(), message.size));
}

void release(GribHandle handle) {
  check(codes_handle_delete(handle.release()), "releasing a message handle");
}

void report_read_failure(const ArgumentField& filein, std::int64_t ordinal) {
  write_stdout(console_line({"Errore leggendo ", filein.text(), " grib n.ro ", ordinal}));
}

}  // namespace common
