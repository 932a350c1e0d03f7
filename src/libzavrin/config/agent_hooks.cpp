// The hooks through which sub-agents reach their agent's log and trap senders.
#include <zavrin/config.h>

#include <stdarg.h>
#include <stdio.h>

#include <atomic>

namespace {

// Set by the agent, read by any sub-agent thread at any time. Atomic without
// ordering beyond acquire and release: a call sees the old hook or the new
// one, never a torn pointer, and takes no lock.
std::atomic<SubAgentLogWriter> logWriter{nullptr};
std::atomic<SubAgentTrapSender2> trapSender2{nullptr};
std::atomic<SubAgentTrapSender> trapSender{nullptr};

// The longest log message handed on is one byte shorter.
constexpr size_t kLogBufferSize = 4096;

}  // namespace

void InitSubAgentsLogger(SubAgentLogWriter writer) {
  logWriter.store(writer, std::memory_order_release);
}

void InitSubAgentsTrapSender(SubAgentTrapSender2 sender2, SubAgentTrapSender sender) {
  trapSender2.store(sender2, std::memory_order_release);
  trapSender.store(sender, std::memory_order_release);
}

void ZvWriteAgentLog(int level, const char *format, ...) {
  SubAgentLogWriter writer = logWriter.load(std::memory_order_acquire);
  if (writer == nullptr) return;
  char message[kLogBufferSize];
  va_list args;
  va_start(args, format);
  if (vsnprintf(message, sizeof(message), format, args) < 0) message[0] = 0;
  va_end(args);
  writer(level, message);
}

void ZvSendTrap(DWORD event, const char *format, ...) {
  SubAgentTrapSender sender = trapSender.load(std::memory_order_acquire);
  if (sender == nullptr) return;
  va_list args;
  va_start(args, format);
  sender(event, format, args);
  va_end(args);
}

void ZvSendTrap2(DWORD event, int count, char **args) {
  SubAgentTrapSender2 sender = trapSender2.load(std::memory_order_acquire);
  if (sender != nullptr) sender(event, count, args);
}
