/*
 * The terminal without echo and line editing, for passwords and PINs. A
 * QuietTerminal holds that state for a whole entry: were it given back
 * between characters, keys typed or pasted quickly would land while echo is
 * on and show on the screen. A SIGINT, SIGTERM or SIGQUIT arriving then puts
 * the saved modes back before the signal takes its usual course (the
 * handler the tool installed, or the default), so that Ctrl-C at a prompt
 * never leaves the user's terminal without echo.
 */
#ifndef TARVO_TOOLS_SHARED_HIDDEN_CHAR_H
#define TARVO_TOOLS_SHARED_HIDDEN_CHAR_H

/// Echo and line editing off from construction to destruction (when
/// standard input is a terminal); nested scopes leave it to the outermost.
class QuietTerminal {
  public:
    QuietTerminal();
    ~QuietTerminal();
    QuietTerminal(const QuietTerminal &) = delete;
    QuietTerminal &operator=(const QuietTerminal &) = delete;

  private:
    bool owns_terminal_ = false;
};

/// The next character of standard input, or EOF. A read interrupted by a
/// signal whose handler returns is carried on. Standard input that is no
/// terminal is read as it is. Outside a QuietTerminal the terminal is quiet
/// only while this one character is awaited.
int read_hidden_char();

#endif
