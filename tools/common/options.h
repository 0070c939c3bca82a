// The host programs' command lines: each program describes its options in a
// table, one row an option, and the same table parses the arguments and makes
// the usage text. A mistake is a usage error: the program's name, what is
// wrong, a pointer to --help, and exit status 2.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "numbers.h"

namespace svtool {

struct Option {
    // "--name", or "--name|-n" with a short alias; the usage shows the first.
    std::string names;
    // The value's placeholder in the usage ("N", "auto|virtual|alsa"); empty
    // for a flag, which takes no value.
    std::string value;
    // The usage's description; a '\n' in it starts a line of its own under
    // the first. Empty: the option is not listed (one a build refuses).
    std::string help;
    // Takes the option's value (null for a flag). Returns "" when it took it,
    // else the whole message, naming the option ("--speed takes a factor
    // above 0").
    std::function<std::string(const char* value)> take;
};

// The least a number may be, for the message that refuses a smaller one.
struct Bound {
    double least;
    bool included;
};
inline Bound AtLeast(double least) { return {least, true}; }
inline Bound Above(double least) { return {least, false}; }

// Row makers, one for each kind of value.

// A flag sets `*target` to `value` ("--mute"; "--file" clears "live").
Option Flag(const std::string& names, const std::string& help, bool* target, bool value = true);

// A string that may not be empty: "--out needs a file name".
Option Text(const std::string& names, const std::string& value, const std::string& help, std::string* target,
            const std::string& what = "a value");

// A finite number: "--speed takes a factor above 0".
Option Number(const std::string& names, const std::string& value, const std::string& help, double* target,
              Bound bound, const std::string& what);

// A duration in `unit`s, or with a unit of its own (see ParseDuration):
// "--duration takes a number of seconds above 0".
Option Duration(const std::string& names, const std::string& value, const std::string& help, double* target,
                TimeUnit unit, Bound bound);

// 0..100, with or without '%': "--loss takes a percentage, 0..100".
Option Percent(const std::string& names, const std::string& value, const std::string& help, double* target);

// "[ADDR:]PORT" (see ParseEndpoint).
Option AddressPort(const std::string& names, const std::string& value, const std::string& help, Endpoint* target);

// An integer within min..max: "--amr-mode takes 0..7".
Option IntegerRow(const std::string& names, const std::string& value, const std::string& help, long long min,
                  long long max, std::function<void(long long)> store);
template <class T>
Option Integer(const std::string& names, const std::string& value, const std::string& help, T* target,
               long long min, long long max)
{
    return IntegerRow(names, value, help, min, max, [target](long long v) { *target = static_cast<T>(v); });
}

// One of a few words, each standing for a value; the usage's placeholder is
// the words: "--device auto|virtual|alsa", "--device takes auto, virtual or
// alsa".
Option ChoiceRow(const std::string& names, const std::string& help, std::vector<std::string> words,
                 std::function<void(size_t)> store);
template <class T>
Option Choice(const std::string& names, const std::string& help, T* target,
              std::vector<std::pair<std::string, T>> choices)
{
    std::vector<std::string> words;
    for (const auto& c : choices)
        words.push_back(c.first);
    return ChoiceRow(names, help, std::move(words),
                     [target, choices](size_t i) { *target = choices[i].second; });
}

// An argument that is not an option, in the order given.
struct Argument {
    std::string name;     // for the usage line: "FILE"
    std::string* target;
    std::string missing;  // the message when it is left out: "no input file"
};

class CommandLine {
public:
    // `about`: the usage's paragraph under its first line, ending in a newline.
    CommandLine(std::string program, std::string about);

    std::vector<Option> options;
    std::vector<Argument> arguments;
    // The message for an argument more than `arguments` names.
    std::string tooMany = "too many arguments";

    // Reads argv[1..argc-1] through the table. Returns "" when it took them
    // all (or met --help, see HelpAsked), else the message for the first
    // mistake, after which nothing more is read.
    std::string Read(int argc, const char* const* argv);
    // Read as a program does: the usage on --help (exit 0), a usage error
    // on a mistake (exit 2).
    void Parse(int argc, char** argv);

    bool HelpAsked() const { return m_help; }
    // Whether the option was given, by the first of its names.
    bool Given(const std::string& name) const;

    std::string Usage() const;
    // A mistake the table cannot see, such as two options that exclude each
    // other: says so and exits with status 2.
    [[noreturn]] void Fail(const std::string& message) const;

private:
    std::string m_program;
    std::string m_about;
    std::vector<std::string> m_given;
    bool m_help = false;
};

} // namespace svtool
