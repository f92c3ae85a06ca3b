// SPDX-License-Identifier: MIT
#pragma once

#include <stdexcept>
#include <string>

namespace velmora {

// The failure numbers are part of what users see ("Error 2: ...") and what
// they quote in reports, so they never change meaning.
enum class FailureNumber : int {
    Overflow = 1, // the input text is longer than the decoder accepts
    File = 2,     // the operating system refused a file operation
    Internal = 3, // anything else, e.g. out of memory (raised by no code of ours)
};

// Base of every failure the converter raises: a stable number and a
// description that tells the user what happened.
class Failure : public std::runtime_error {
  public:
    Failure(FailureNumber number, const std::string& description)
        : std::runtime_error(description), number_(number) {}

    [[nodiscard]] FailureNumber number() const noexcept { return number_; }
    [[nodiscard]] std::string description() const { return what(); }

  private:
    FailureNumber number_;
};

// The input is too long to decode.
class OverflowFailure : public Failure {
  public:
    explicit OverflowFailure(const std::string& description)
        : Failure(FailureNumber::Overflow, description) {}
};

// A file could not be opened, read, written or replaced. Carries the
// operating system's own error number (errno, or GetLastError() on Windows;
// 0 where the failure was detected by us rather than by the system).
class FileFailure : public Failure {
  public:
    FileFailure(const std::string& description, int systemError)
        : Failure(FailureNumber::File, description), systemError_(systemError) {}

    [[nodiscard]] int systemError() const noexcept { return systemError_; }

  private:
    int systemError_;
};

} // namespace velmora
