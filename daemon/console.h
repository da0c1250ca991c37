// Console output of the daemon: progress on standard output, problems on
// standard error. Each call writes its text at once (standard output is
// flushed), so lines show up promptly in a file or a journal. Safe to call
// from both threads.

#ifndef QUILLO_DAEMON_CONSOLE_H_
#define QUILLO_DAEMON_CONSOLE_H_

#include <exception>
#include <string>

// Writes `text` to standard output and flushes it.
void say(const std::string& text);
// Writes `text` to standard error.
void complain(const std::string& text);
// Prints the exception in flight as "Error: <message>\n" for a standard
// runtime or logic error, else "Error: unknown exception\n". Call only
// inside a catch block.
void complain_current_exception();

#endif  // QUILLO_DAEMON_CONSOLE_H_
