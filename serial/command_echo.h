// A command's echo: a two-wire RS-485 adapter hears its own transmitter and
// hands every byte of a command back before the module's answer. A module's
// answer never begins with a command's lead character, so an echo is known
// by its first byte alone: nothing needs to be configured, and on a line
// that does not echo nothing is waited for. The echo must repeat the
// command exactly up to its carriage return; one that differs (a byte
// changed or missing) means another sender drove the bus at the same time.
#ifndef VELK_SERIAL_COMMAND_ECHO_H
#define VELK_SERIAL_COMMAND_ECHO_H

#include <stdint.h>
#include <string.h>

namespace serial {

class CommandEcho {
 public:
  enum class State : uint8_t {
    kAwaited,       // not begun: a line without echo stays here
    kUnderWay,      // begun, matching the command so far
    kComplete,      // the whole command came back
    kDiffers,       // a byte differed from the command's: a collision
    kOldBroadcast,  // the echo of an earlier broadcast, dropped to its end
  };

  // The command as written; `answerLeads` are the characters an answer may
  // begin with. The command's first bytes are kept here, because the answer
  // may be collected over the command and its head is cleared first.
  void Expect(const char* command, uint32_t length, const char* answerLeads) {
    state_ = State::kAwaited;
    matched_ = 0;
    command_ = command;
    length_ = 0;
    if (command == nullptr) return;
    const void* end = memchr(command, '\r', length);
    length_ = end != nullptr ? static_cast<uint32_t>(static_cast<const char*>(end) - command) + 1 : length;
    memcpy(head_, command, length_ < kHead ? length_ : kHead);
    // A command whose lead an answer could begin with cannot be told from
    // its answer: such a line's echo would be taken as noise or answer.
    if (length_ == 0 || strchr(answerLeads, head_[0]) != nullptr) length_ = 0;
  }

  // Takes the echo's bytes from the front of `bytes`; returns how many. None
  // once the echo is complete or has differed, nor while it has not begun
  // and `bytes` does not begin it.
  uint32_t Take(const char* bytes, uint32_t count) {
    uint32_t taken = 0;
    while (taken < count) {
      const char c = bytes[taken];
      if (state_ == State::kOldBroadcast) {
        ++taken;
        if (c == '\r') state_ = State::kAwaited;
        continue;
      }
      if (state_ == State::kComplete || state_ == State::kDiffers || length_ == 0) break;
      if (state_ == State::kAwaited && c != head_[0]) break;
      if (c != At(matched_)) {
        // A broadcast is not waited on, so its echo may still be arriving
        // when the next command goes out; no module's command holds "**".
        state_ = matched_ == 1 && head_[0] == '#' && c == '*' ? State::kOldBroadcast : State::kDiffers;
        if (state_ == State::kDiffers) break;
        matched_ = 0;
        ++taken;
        continue;
      }
      ++taken;
      state_ = ++matched_ == length_ ? State::kComplete : State::kUnderWay;
    }
    return taken;
  }

  State state() const { return state_; }
  // An echo has begun: the answer comes behind the command's wire time.
  bool begun() const { return state_ == State::kUnderWay || state_ == State::kComplete; }

 private:
  static constexpr uint32_t kHead = 4;
  char At(uint32_t i) const { return i < kHead ? head_[i] : command_[i]; }

  State state_ = State::kAwaited;
  const char* command_ = nullptr;
  uint32_t length_ = 0;  // up to and including the carriage return; 0: none recognised
  uint32_t matched_ = 0;
  char head_[kHead] = {};
};

}  // namespace serial

#endif
