/// \file
/// Configuration and agent support: configuration files read through templates,
/// named options in option strings, parameter arguments and result values for
/// sub-agents, and the hooks through which sub-agents log and send traps.
#ifndef ZAVRIN_CONFIG_H
#define ZAVRIN_CONFIG_H

#include <stdarg.h>

#include <zavrin/types.h>

// ---- Configuration files ----

/// Type codes of a template entry. Codes above CFG_WORD accept the keyword and
/// ignore its value.
#define CFG_LONG 0         ///< target: int32_t, read with base 0
#define CFG_STRING 1       ///< target: char[size], cut to size - 1 and terminated
#define CFG_STRING_LIST 2  ///< target: char *, a malloc'ed list the loader grows
#define CFG_END 3          ///< closes the template
#define CFG_FLAG 4         ///< target: DWORD; "yes", "true", "on", "1" set the bits of size
#define CFG_WORD 5         ///< target: WORD, read unsigned with base 0, low 16 bits

/// One entry of a template: an array of them closed by a CFG_END entry.
typedef struct {
  char keyword[64];  ///< zero-terminated, compared without regard to case
  BYTE type;         ///< CFG_...
  char separator;    ///< CFG_STRING_LIST: written after each value
  /// CFG_STRING: size of the target buffer (at least 1). CFG_STRING_LIST: size
  /// of the list buffer, kept up to date by the loader. CFG_FLAG: the bit mask.
  DWORD size;
  DWORD used;    ///< CFG_STRING_LIST: length of the list text, kept up to date
  void *target;  ///< where the value goes; its type follows from type
} CONFIG_TEMPLATE;

ZAVRIN_C_BEGIN

/// Reads one section of a configuration file (section "" for the lines before
/// the first section line) into the targets of the template. Bad lines are
/// counted, printed to standard output when printErrors is not 0, and do not
/// stop the reading; good lines are stored either way. 0: read without errors;
/// 1: the file could not be opened; 2: read to the end (or up to a read error)
/// with at least one error.
///
/// A list buffer starts as a null pointer with size and used 0 (a null buffer is
/// always taken as an empty list); the loader allocates it, the caller frees it,
/// and it may be handed to the loader again to go on appending. A value that
/// the list cannot take for lack of memory is dropped and counted as an error.
/// The buffer is taken to be as large as the entry's size says, and grows by
/// realloc. A physical line longer than 4094 characters keeps its first 4094;
/// the rest of it is skipped, and in the section read the line is a syntax
/// error unless its comment began within those 4094. A directory is a file that
/// cannot be opened.
ZAVRIN_EXPORT DWORD ZvLoadConfig(const char *file, const char *section,
                                 CONFIG_TEMPLATE *cfgTemplate, BOOL printErrors);

// ---- Named options ("name=value;name=value;...") ----

/// Copies the value of the first option called name (without regard to case)
/// into buffer, cut to size - 1 characters, stripped of blanks at both ends and
/// terminated; 1 when found. When not found (0) the buffer is untouched. Names
/// of 256 characters or more never match.
ZAVRIN_EXPORT int ExtractNamedOptionValue(const char *optString, const char *option, char *buffer,
                                          int bufSize);
/// 1 when the value is "yes" or "true" (any case), 0 for other values, the
/// default when the option is absent.
ZAVRIN_EXPORT int ExtractNamedOptionValueAsBool(const char *optString, const char *option,
                                                int defVal);
/// The value read with base 0 when all of it is a number (a 32-bit strtol), else
/// the default; also the default when the option is absent. An empty value is 0.
ZAVRIN_EXPORT int32_t ExtractNamedOptionValueAsInt(const char *optString, const char *option,
                                                   int32_t defVal);

ZAVRIN_C_END

// ---- Parameter arguments and result values ----

/// Size of the result buffer that a parameter handler fills.
#define ZV_RESULT_BUFFER_SIZE 256

/// A list of results; allocated with malloc by the caller (count 0, strings
/// null) and freed with ZvDestroyValuesList.
typedef struct {
  DWORD count;     ///< values in the list
  char **strings;  ///< the values, malloc'ed
} VALUES_LIST;

/// Data type codes of ZvDCIDataTypeFromText.
///@{
#define DCI_DT_INT 0
#define DCI_DT_UINT 1
#define DCI_DT_INT64 2
#define DCI_DT_UINT64 3
#define DCI_DT_STRING 4
#define DCI_DT_FLOAT 5
///@}

ZAVRIN_C_BEGIN

/// The result setters write a terminated text of at most 255 characters into a
/// result buffer of ZV_RESULT_BUFFER_SIZE bytes; longer texts are cut.
///@{
ZAVRIN_EXPORT void ret_string(char *rbuf, const char *value);
ZAVRIN_EXPORT void ret_int(char *rbuf, int32_t value);
ZAVRIN_EXPORT void ret_uint(char *rbuf, DWORD value);
ZAVRIN_EXPORT void ret_double(char *rbuf, double value);
ZAVRIN_EXPORT void ret_int64(char *rbuf, INT64 value);
ZAVRIN_EXPORT void ret_uint64(char *rbuf, QWORD value);
///@}

/// Copies argument number index (1 for the first) of "Name(arg1,arg2,...)" into
/// buffer, cut to bufSize - 1 characters and stripped of blanks at both ends.
/// Arguments may be quoted with " or ', which protects commas and parentheses.
/// 1 with the argument, or with an empty text when the name has no '(' or the
/// argument does not exist; 0 when the text ends inside the parentheses or
/// inside quotes (the buffer is then not to be used).
ZAVRIN_EXPORT int ZvGetParameterArg(const char *param, int index, char *buffer, int bufSize);

/// Appends a copy of value to the list (dropped when memory runs out).
ZAVRIN_EXPORT void ZvAddResultString(VALUES_LIST *list, const char *value);
/// Frees every string, the array and the list itself; null does nothing.
ZAVRIN_EXPORT void ZvDestroyValuesList(VALUES_LIST *list);
/// The DCI_DT_ code of a type name ("INT" ... "FLOAT", any case), or -1.
ZAVRIN_EXPORT int ZvDCIDataTypeFromText(const char *name);

ZAVRIN_C_END

// ---- Sub-agent log and trap hooks ----

/// The agent's functions that sub-agents reach through the library. The list
/// form of the trap sender takes an event code, a count and a list of strings.
///@{
typedef void (*SubAgentLogWriter)(int level, const char *text);
typedef void (*SubAgentTrapSender2)(DWORD event, int count, char **args);
typedef void (*SubAgentTrapSender)(DWORD event, const char *format, va_list args);
///@}

ZAVRIN_C_BEGIN

/// Registers the agent's log writer (null switches logging off again).
ZAVRIN_EXPORT void InitSubAgentsLogger(SubAgentLogWriter writer);
/// Registers the list-form and the variadic-form trap senders (null switches
/// the matching call off again).
ZAVRIN_EXPORT void InitSubAgentsTrapSender(SubAgentTrapSender2 sender2, SubAgentTrapSender sender);
/// Formats the message printf-style (cut to 4095 characters) and hands it to the
/// log writer for the duration of the call; nothing without a log writer.
ZAVRIN_EXPORT void ZvWriteAgentLog(int level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
/// Hands the event, the format and the values after it, unformatted, to the
/// variadic-form trap sender; nothing without one.
ZAVRIN_EXPORT void ZvSendTrap(DWORD event, const char *format, ...);
/// Hands its arguments unchanged to the list-form trap sender; nothing without one.
ZAVRIN_EXPORT void ZvSendTrap2(DWORD event, int count, char **args);

ZAVRIN_C_END

#endif  // ZAVRIN_CONFIG_H
