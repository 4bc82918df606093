// The driver's serial line: the settings it was given, the one port it holds,
// opening, adopting and closing that port, and the one exchange of a command
// and its answer, which every module family runs with its own policy.
#ifndef VELK_SERIAL_SERIAL_LINE_H
#define VELK_SERIAL_SERIAL_LINE_H

#include <stdint.h>

#include <memory>

#include "platform/clock.h"
#include "platform/serial_api.h"
#include "serial/answer_policy.h"
#include "serial/line_diagnostics.h"
#include "velk4000/velk4000.h"

namespace serial {

// Largest answer the exchange accepts, carriage return included.
const int32_t kMaxAnswer = 512;
// Largest single read of the exchange.
const uint32_t kMaxChunk = 500;

// How the RS-485 line driver is switched around a command.
enum class DirectionControl : uint8_t {
  kNone,           // left as it stands: a port the host handed over, never opened by us
  kRequestToSend,  // RTS raised for the write, dropped once it left the wire
};

// The line alone holds the port: it opens, adopts and closes it, and every
// path (the Velk commands, both Data families, the probe) reaches the port
// only through Exchange. The port object closes itself when the line lets
// go of it, so each port is closed exactly once.
class SerialLine final {
 public:
  SerialLine(platform::SerialApi& api, platform::Clock& clock);
  ~SerialLine();  // closes the port as ClosePort does
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  int32_t OpenPort(const velk::PortSettings* settings);
  int32_t ClosePort();
  int32_t SetPortHandle(const velk::PortHandle* handle);
  // Opens and configures the port from `settings`; 1 or 0.
  int32_t OpenComm(const velk::PortSettings& settings);
  // Closes the port and opens it again from the stored settings, when
  // settings were ever given. The outcome is left to the next exchange.
  void Reopen();

  // Starts a packet: a port that hung up may be opened again once more.
  void StartPacket() { reopenArmed_ = true; }
  // The port an exchange is to use. A port that hung up is re-opened from
  // the stored settings first, at most once per packet, so that a re-plugged
  // adapter or a restarted peer comes back by itself; a port the host handed
  // over is never re-opened (its exchanges fail). Null when there is none;
  // the cause is then recorded in `diagnostics`.
  platform::Port* PortForExchange();
  // An exchange found the port hung up; the next packet re-opens it.
  void NotePortLost() { portLost_ = true; }
  bool portLost() const { return portLost_; }
  // Records why a command or its answer went wrong after the port failed a
  // call: a hang-up (noted for re-opening) or else `otherwise`.
  void FailOnPort(platform::Port* port, int32_t otherwise);

  // The packet layer rejected the answer of the last exchange (`why`: its
  // form, its address or its checksum): the exchange ended without a valid
  // answer, and the line may be out of step with its modules.
  void RejectAnswer(int32_t why) {
    diagnostics.Fail(why);
    NoteOutOfStep();
  }
  // An answer that does not decide the packet (the read-back after a write
  // the module confirmed) was unusable: the packet stands, but the line may
  // be out of step with its modules.
  void DistrustAnswers() { NoteOutOfStep(); }

  // Wire time of one character at the line's settings, in microseconds.
  uint32_t charTimeUs() const { return charTimeUs_; }
  // The bound on a whole answer, however it trickles in: twice the answer
  // time-out plus the wire time of the largest answer. One exchange, the
  // quiet guard before it included, ends within it, and within the
  // command's wire time more when the command comes back as an echo.
  uint32_t WholeAnswerBoundMs() const;
  // What the line learnt of how late `module` answers after its time-out:
  // kLatenessUnknown until its first failure's guard, kNotLate when nothing
  // (or an answer begun in time) came in it, else milliseconds after the
  // command.
  static constexpr uint16_t kLatenessUnknown = 0;
  static constexpr uint16_t kNotLate = 0xFFFF;
  uint16_t latenessOf(uint8_t module) const { return modules_[module].lateness; }
  // How late `module` answers when that is later than the whole-answer
  // bound, so late that no call can wait for its answers and none can be
  // paired with its command: at least so many milliseconds after the
  // command. 0 while the line has no evidence of it. Its commands are held
  // back meanwhile; see ModuleTiming.
  uint16_t tooLateOf(uint8_t module) const { return modules_[module].tooLateMs; }

  // Writes `commandLength` bytes of `command` and collects the answer into
  // `answer` (`capacity` bytes; it may be the command's own buffer) as
  // `policy` says. Returns 1 with the answer, cut after its first carriage
  // return, in `answer` and its byte count in `*answerLength`; 0 when no
  // complete answer came, the cause recorded in `diagnostics`. A refusal
  // ("?") is an answer: the caller judges it. The command's echo, when the
  // adapter gives one, is taken off first (see command_echo.h); one that
  // differs from the command fails the exchange as a bus collision. A broadcast the policy leaves
  // unanswered returns 1 once written, with `*answerLength` 0.
  int32_t Exchange(const char* command, uint32_t commandLength, const AnswerPolicy& policy, char* answer,
                   uint32_t capacity, uint32_t* answerLength);
  // The exchange on one buffer: `length` bytes of `buffer` out, the answer
  // back over them (at least kMaxAnswer bytes). Returns 1 with the answer's
  // byte count in `length`, or 0. A broadcast the policy leaves unanswered
  // returns 1 once written, with the command left in place.
  int32_t Exchange(char* buffer, int32_t* length, const AnswerPolicy& policy);
  bool outOfStep() const { return outOfStep_; }
  // Writes one command, with direction control when `framed`, after
  // discarding whatever an earlier command left in the queues; 1 or 0. The
  // answer's time counts from commandAt_, which it sets.
  int32_t WriteCommand(platform::Port* port, const char* bytes, uint32_t count, uint32_t* written, bool framed = true);

  platform::SerialApi& api() { return api_; }
  platform::Clock& clock() { return clock_; }

  // The port held, or null.
  platform::Port* port() const { return port_.get(); }
  bool hasPort() const { return port_ != nullptr; }
  // The system's handle of the port held; kNoHandle without one (and for a
  // network line).
  platform::Handle portHandle() const { return port_ ? port_->handle() : platform::kNoHandle; }

  int32_t answerTimeoutMs = 8000;
  DirectionControl directionControl = DirectionControl::kNone;  // set at every opening
  uint16_t pollDelayMs = 15;
  velk::PortSettings portSettings{};
  bool portSettingsGiven = false;  // the host gave settings: a lost port is re-opened from them
  // Why exchanges failed, counters and the trace hook; see line_diagnostics.h.
  LineDiagnostics diagnostics;

 private:
  // Closes the port held, if any: the closing of ClosePort, OpenPort,
  // re-opening and destruction.
  void ReleasePort();
  // After an exchange that ended without a good answer, an answer may still
  // be on its way: waits until the line has been quiet for the answer
  // time-out (bounded), dropping what arrives, so that it is not taken as
  // the next command's answer.
  // `callStart` is the tick the exchange began: the guard leaves the
  // exchange its time-out within the whole-answer bound. Bytes that arrive
  // during the guard are an answer later than its time-out: the module's
  // later guards cover it, and `diagnostics` names it. A module's first
  // failure is guarded as long as the bound allows, to learn whether it
  // answers late at all.
  // Returns false when the guard had to end at the bound while the answers
  // of a module too late to pair were still due: the command must not go
  // out then, and the next exchange waits on.
  bool AwaitQuiet(platform::Port* port, uint32_t timeoutMs, uint32_t callStart);
  // The tick until which the guard after the last failure must wait at
  // least, from what is known of the failed module.
  uint32_t LateGuardEnd(uint32_t timeoutMs) const;
  // Notes bytes of a late answer that arrived at `at`.
  void NoteLateBytes(uint32_t at, uint32_t timeoutMs);
  // Records that `module` answered at least `lateMs` after a command.
  void NoteLateness(int32_t module, uint32_t lateMs);
  // The guard after the last failure ended with nothing received.
  void NoteQuietGuard();
  // One command out and its answer in, as `policy` says: the exchange proper,
  // after the guard. `callStart` starts the whole-answer bound.
  int32_t SendAndCollect(platform::Port* port, const char* command, uint32_t commandLength, const AnswerPolicy& policy,
                         uint32_t timeoutMs, uint32_t callStart, char* answer, uint32_t capacity,
                         uint32_t* answerLength);
  // The exchange with a module whose answer cannot be taken as its command's
  // on its own (see ModuleTiming): the command twice, the second answer kept.
  int32_t ExchangePaired(platform::Port* port, int32_t module, const char* command, uint32_t commandLength,
                         const AnswerPolicy& policy, uint32_t timeoutMs, uint32_t callStart, char* answer,
                         uint32_t capacity, uint32_t* answerLength);
  // Whether a command to `module` is held back at `now`: the module answers
  // too late to pair, and its next check is not due yet.
  bool HeldBackAsTooLate(int32_t module, uint32_t now) const;
  // A check of a module too late to pair goes out: the next waits longer.
  void NoteTooLateCheck(int32_t module);
  // After a failed exchange with a module too late to pair, its late
  // answers are waited for within the same call, as far as the bound from
  // `since` allows, so that the next call (another module's) need not wait
  // for them, or not as long.
  void WaitOutTooLateAnswers(platform::Port* port, uint32_t timeoutMs, uint32_t since);
  // Records a failed exchange: the cause, and that the line is out of step.
  int32_t FailExchange(int32_t why);
  // The command's echo differed from it: a collision on the bus.
  int32_t FailOnCollision();
  // Wire time of `commandLength` characters, in whole milliseconds.
  uint32_t CommandWireMs(uint32_t commandLength) const;
  void NoteOutOfStep() {
    outOfStep_ = true;
    outOfStepAt_ = clock_.TickMs();
    failedModule_ = -1;  // an answer came: nothing late to learn
    lateSeen_ = true;
    inputSettled_ = false;
  }

  platform::SerialApi& api_;
  platform::Clock& clock_;
  std::unique_ptr<platform::Port> port_;
  bool portLost_ = false;
  bool outOfStep_ = false;
  uint32_t outOfStepAt_ = 0;    // tick of the failure; the line is quiet since, unless input waits
  uint32_t commandAt_ = 0;      // tick the last command was out (and the bus given back)
  int32_t commandModule_ = -1;  // the address it named; -1 for none (a broadcast)
  uint32_t failedAt_ = 0;       // commandAt_ and commandModule_ of the last failed exchange
  int32_t failedModule_ = -1;
  int32_t lastFailure_ = velk::kOutcomeOk;  // the cause FailExchange last recorded
  uint32_t answerAt_ = 0;                   // tick the last answer's first bytes came
  bool lateSeen_ = true;                    // the last failure's late answer was looked for (or none failed yet)

  // What the line knows of one module's answers after its time-out.
  //
  // An answer that comes after its command's whole bound cannot be told
  // from the answer to the module's next command: it lands in that
  // command's time-out. So a module that left a command unanswered even
  // through the guard after it (`unpaired`) is asked twice at its next
  // command, back to back, and only the second answer is taken: a module
  // answering in time answers both, while one answering that late has its
  // first "answer" come from the command before and leaves the second
  // unanswered. That, or late bytes in a guard measured from its older
  // unanswered command, is the evidence; the lateness is taken from the
  // latest command the answer could belong to, so it is never shorter than
  // the true one. A module later than the bound (`tooLateMs`) then has its
  // commands held back, failing at once, except one every `recheckMs`; the
  // guards after that one wait its late answers out, and the module is
  // served again once such a check is answered twice in time.
  struct ModuleTiming {
    uint16_t lateness = kLatenessUnknown;  // see latenessOf()
    uint16_t tooLateMs = 0;                // see tooLateOf()
    bool unpaired = false;
    uint32_t unansweredAt = 0;  // the tick of the command it left unanswered
    uint32_t commandAt = 0;     // the tick of its latest command
    uint32_t recheckMs = 0;     // while too late: the wait from its latest command to its next
  };
  ModuleTiming modules_[256];
  bool adopted_ = false;  // the port came through SetPortHandle
  bool reopenArmed_ = true;
  // The last exchange left the input queue empty, and nothing since could
  // have put a byte into it that the next command must not take: its
  // discard can be skipped.
  bool inputSettled_ = false;
  uint32_t charTimeUs_ = 1042;  // 9600 baud, 8N1, until a port says otherwise
};

}  // namespace serial

#endif
