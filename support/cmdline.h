// Windows command lines: splitting one into arguments, quoting an argument
// for one, and the loggable form with password values hidden. The program
// keeps its own command line and the argument strings of the panel's
// utilities in this form, so that logs read the same on every platform.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Splits a command line as CommandLineToArgvW does. The first argument is the
// program name: when it begins with a double quote it runs to the next double
// quote (no escapes), otherwise to the first blank or tab; anything that
// follows a closing quote starts the next argument. The other arguments:
// blanks and tabs outside quotes separate them; 2n backslashes before a
// double quote give n backslashes and the quote opens or closes a quoted part;
// 2n+1 backslashes before a double quote give n backslashes and a literal
// quote; backslashes elsewhere are literal. Two double quotes inside a quoted
// part give one literal quote and the part stays open (the rule of the
// current C runtimes; the older triple-quote rule is not followed). An empty
// or blank line gives no arguments (where Windows would return the program's
// own path).
std::vector<std::wstring> splitCommandLine(std::wstring_view line);

// As splitCommandLine, but every argument follows the ordinary rules: for an
// argument string that carries no program name.
std::vector<std::wstring> splitArguments(std::wstring_view line);

// One argument ready for a command line. An argument with a white-space
// character or one of " & < > [ ] { } ^ = ; ! ' + , ` ~ | is enclosed in
// double quotes; each double quote inside gets a backslash, and a run of
// backslashes before a double quote or before the closing quote is doubled.
// An empty argument becomes "" so that it survives splitting; any other
// argument stays as it is. splitArguments of the quoted arguments joined by
// blanks gives the arguments back.
std::wstring quoteArgument(const std::wstring& argument);

// The arguments quoted with quoteArgument and joined by single blanks.
std::wstring joinCommandLine(const std::vector<std::wstring>& arguments);

// The loggable form of a command line: split with splitCommandLine; an
// argument whose text before its first "=" contains "password" or "pwd"
// (case-sensitive) becomes that text, itself quoted, followed by "=*" once
// per "=" (so "--db-password=x=y" shows as "--db-password=*=*", quoted
// because of the "="; "--pwd" stays as it is); every argument is then
// quoted and the arguments joined by single blanks, trimmed. An empty line
// gives an empty text.
std::wstring maskCommandLine(std::wstring_view line);
