/// \file
/// Platform-bound pieces: the crash guard and the guarded thread start.
#ifndef ZAVRIN_PLATFORM_H
#define ZAVRIN_PLATFORM_H

#include <zavrin/types.h>

// ---- Crash guard and guarded thread start ----

#include <signal.h>
#include <ucontext.h>

/// The exception codes of EXCEPTION_INFO::code, under their usual names, with
/// the crash signals they stand for; SEHExceptionName names each.
#define EXCEPTION_ACCESS_VIOLATION 0xC0000005u          ///< SIGSEGV
#define EXCEPTION_ARRAY_BOUNDS_EXCEEDED 0xC000008Cu     ///< SIGFPE, subscript out of range
#define EXCEPTION_BREAKPOINT 0x80000003u                ///< SIGTRAP, never handled
#define EXCEPTION_DATATYPE_MISALIGNMENT 0x80000002u     ///< SIGBUS, misaligned address
#define EXCEPTION_FLT_DENORMAL_OPERAND 0xC000008Du      ///< no signal maps to it
#define EXCEPTION_FLT_DIVIDE_BY_ZERO 0xC000008Eu        ///< SIGFPE, floating divide by zero
#define EXCEPTION_FLT_INEXACT_RESULT 0xC000008Fu        ///< SIGFPE, inexact result
#define EXCEPTION_FLT_INVALID_OPERATION 0xC0000090u     ///< SIGFPE, invalid operation
#define EXCEPTION_FLT_OVERFLOW 0xC0000091u              ///< SIGFPE, floating overflow
#define EXCEPTION_FLT_STACK_CHECK 0xC0000092u           ///< no signal maps to it
#define EXCEPTION_FLT_UNDERFLOW 0xC0000093u             ///< SIGFPE, floating underflow
#define EXCEPTION_ILLEGAL_INSTRUCTION 0xC000001Du       ///< SIGILL
#define EXCEPTION_IN_PAGE_ERROR 0xC0000006u             ///< SIGBUS, other than misalignment
#define EXCEPTION_INT_DIVIDE_BY_ZERO 0xC0000094u        ///< SIGFPE, integer divide by zero
#define EXCEPTION_INT_OVERFLOW 0xC0000095u              ///< SIGFPE, integer overflow
#define EXCEPTION_INVALID_DISPOSITION 0xC0000026u       ///< no signal maps to it
#define EXCEPTION_NONCONTINUABLE_EXCEPTION 0xC0000025u  ///< no signal maps to it
#define EXCEPTION_PRIV_INSTRUCTION 0xC0000096u          ///< SIGILL, privileged instruction
#define EXCEPTION_SINGLE_STEP 0x80000004u               ///< SIGTRAP, never handled
#define EXCEPTION_STACK_OVERFLOW 0xC00000FDu            ///< SIGSEGV in the stack guard

/// What a crash callback learns about a crash. The pointers lead into the
/// crashing thread's signal frame and are valid while the callback runs.
typedef struct EXCEPTION_INFO {
  DWORD code;           ///< exception code: EXCEPTION_ACCESS_VIOLATION, ... (above)
  void *address;        ///< the instruction that crashed
  int signalNumber;     ///< SIGSEGV, SIGBUS, SIGFPE, SIGILL or SIGTRAP
  siginfo_t *info;      ///< the signal's details, such as the faulting address
  ucontext_t *context;  ///< the registers at the crash, to print and unwind from
} EXCEPTION_INFO;

/// A crash callback: reports the crash; non-zero ends the process with exit
/// code 99 right after it returns, 0 leaves the crash to the system.
typedef BOOL (*CRASH_CALLBACK)(EXCEPTION_INFO *info);
/// Where the crash report writes its text; null means standard output.
typedef void (*CRASH_OUTPUT_WRITER)(const char *text);

/// The argument of SEHThreadStarter: the routine a guarded thread runs, and
/// the argument for it.
typedef struct THREAD_START_RECORD {
  DWORD (*routine)(void *arg);  ///< what the thread runs
  void *arg;                    ///< its argument
} THREAD_START_RECORD;

/// Registers the crash callback and the report's output writer (either may be null).
/// Opens no file and asks no server: the crash report's helper is only looked up.
ZAVRIN_EXPORT void SetExceptionHandler(CRASH_CALLBACK callback, CRASH_OUTPUT_WRITER writer);

/// The crash filter: 1 when the crash is handled (the process then ends with
/// exit code 99), 0 when it is left to the system. Breakpoints and single steps
/// are never handled, nor is anything without a callback. The first thread that
/// gets to the callback keeps the crash lock for good: a thread that crashes
/// later blocks here, so there is only ever one report.
ZAVRIN_EXPORT int ___ExceptionHandler(EXCEPTION_INFO *info);

/// The entry of a guarded thread: runs the record's routine with its argument
/// under the crash filter and returns 0. The record stays the caller's. Start
/// threads with it, for instance std::thread(SEHThreadStarter, &record).
ZAVRIN_EXPORT DWORD SEHThreadStarter(void *startRecord);

// ---- Crash report ----

/// The name of an exception code, such as "Access violation" for 0xC0000005;
/// "Unknown" for a code it does not know.
ZAVRIN_EXPORT const char *SEHExceptionName(DWORD code);

/// The ready-made crash callback: prints the exception, the registers and the
/// call stack on standard output (the call-stack lines through the output
/// writer when one is registered), then "PROCESS TERMINATED", and returns 1.
/// Inside a crash, the process ends with exit code 99 within 5 s whatever
/// happens meanwhile (a writer that never returns, a helper that hangs).
ZAVRIN_EXPORT BOOL SEHDefaultConsoleHandler(EXCEPTION_INFO *info);

/// Prints the calling thread's call stack from the given registers (its own
/// current ones when null), one line per frame indented by two spaces, through
/// the output writer when one is registered, else on standard output. Not for
/// use by several threads at once. The stack is walked and named by the crash
/// helper, a process of its own that reads this one (debug information is
/// downloaded only from servers named in ZAVRIN_DEBUGINFOD_URLS); without it,
/// each frame shows its module and its offset there, after a line that says why.
ZAVRIN_EXPORT void SEHShowCallStack(ucontext_t *context);

// ---- Serial port ----

/// Parity codes of Serial::Set.
///@{
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
///@}
/// Stop-bit codes of Serial::Set.
///@{
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
///@}

/// One serial port, driven by one thread at a time. Reads and writes wait at
/// most the time-out set with SetTimeout (0: without limit); a failed write
/// reopens the port with its last settings.
class ZAVRIN_EXPORT Serial {
 public:
  Serial();
  ~Serial();
  Serial(const Serial &) = delete;
  Serial &operator=(const Serial &) = delete;

  /// Opens the device (such as /dev/ttyS0) for this object alone and sets it to
  /// 38400 bits per second, 8 data bits, no parity, one stop bit. False when the
  /// device cannot be opened; the name is kept for Restart either way.
  bool Open(const char *device);
  /// Stores the line settings, then applies them; false when they could not be
  /// applied (the port is closed, or the device does not take them). The
  /// flow-control value is kept for Restart only: the port always runs without
  /// hardware or software flow control.
  ///@{
  bool Set(int speed, int dataBits, int parity, int stopBits);
  bool Set(int speed, int dataBits, int parity, int stopBits, int flowControl);
  ///@}
  /// The time-out of reads and writes in milliseconds (0: without limit).
  void SetTimeout(int timeoutMs);
  /// Closes the port, waits half a second and opens it again with the stored
  /// settings; true only when both the opening and the settings succeeded.
  bool Restart();
  /// Zeroes size bytes of buffer, then waits until size bytes came or the
  /// time-out ran out; the number of bytes read, or -1 (port closed, read failed).
  ///@{
  int Read(char *buffer, int size);
  int ReadAll(char *buffer, int size);
  ///@}
  /// Waits 100 ms, then writes all size bytes within the time-out. A failed
  /// write restarts the port; a short one does not. True when all were written.
  bool Write(const char *data, int size);
  /// Waits until all written output has been sent.
  ///@{
  void Flush();
  void Close();
  ///@}

 private:
  char *portName;
  int timeout;
  int speed;
  int dataBits;
  int stopBits;
  int parity;
  int flowControl;
  int handle;
};

#endif  // ZAVRIN_PLATFORM_H
