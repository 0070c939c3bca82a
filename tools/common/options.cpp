#include "options.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace svtool {

namespace {

// Where an option's description starts in the usage.
const size_t kHelpColumn = 21;

std::string FirstName(const std::string& names) { return names.substr(0, names.find('|')); }

bool HasName(const std::string& names, const std::string& arg)
{
    size_t at = 0;
    while (at <= names.size()) {
        const size_t bar = std::min(names.find('|', at), names.size());
        if (names.compare(at, bar - at, arg) == 0 && bar - at == arg.size())
            return true;
        at = bar + 1;
    }
    return false;
}

std::string Describe(Bound bound)
{
    char number[32];
    snprintf(number, sizeof number, "%g", bound.least);
    return bound.included ? std::string("of ") + number + " or more" : std::string("above ") + number;
}

bool Within(double v, Bound bound) { return bound.included ? v >= bound.least : v > bound.least; }

// "a, b or c"
std::string Alternatives(const std::vector<std::string>& words)
{
    std::string text;
    for (size_t i = 0; i < words.size(); ++i)
        text += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return text;
}

} // namespace

Option Flag(const std::string& names, const std::string& help, bool* target, bool value)
{
    return {names, "", help, [target, value](const char*) {
                *target = value;
                return std::string();
            }};
}

Option Text(const std::string& names, const std::string& value, const std::string& help, std::string* target,
            const std::string& what)
{
    const std::string refusal = FirstName(names) + " needs " + what;
    return {names, value, help, [target, refusal](const char* v) {
                *target = v;
                return target->empty() ? refusal : std::string();
            }};
}

Option Number(const std::string& names, const std::string& value, const std::string& help, double* target,
              Bound bound, const std::string& what)
{
    const std::string refusal = FirstName(names) + " takes " + what + " " + Describe(bound);
    return {names, value, help, [target, bound, refusal](const char* v) {
                double n = 0;
                if (!ParseNumber(v, &n) || !Within(n, bound))
                    return refusal;
                *target = n;
                return std::string();
            }};
}

Option Duration(const std::string& names, const std::string& value, const std::string& help, double* target,
                TimeUnit unit, Bound bound)
{
    const std::string refusal = FirstName(names) + " takes a number of " +
                                (unit == TimeUnit::Seconds ? "seconds " : "milliseconds ") + Describe(bound);
    return {names, value, help, [target, unit, bound, refusal](const char* v) {
                double n = 0;
                if (!ParseDuration(v, unit, &n) || !Within(n, bound))
                    return refusal;
                *target = n;
                return std::string();
            }};
}

Option Percent(const std::string& names, const std::string& value, const std::string& help, double* target)
{
    const std::string refusal = FirstName(names) + " takes a percentage, 0..100";
    return {names, value, help, [target, refusal](const char* v) {
                return ParsePercent(v, target) ? std::string() : refusal;
            }};
}

Option AddressPort(const std::string& names, const std::string& value, const std::string& help, Endpoint* target)
{
    const std::string name = FirstName(names);
    return {names, value, help, [target, name](const char* v) {
                std::string why;
                return ParseEndpoint(v, target, &why) ? std::string() : name + ": " + why;
            }};
}

Option IntegerRow(const std::string& names, const std::string& value, const std::string& help, long long min,
                  long long max, std::function<void(long long)> store)
{
    const std::string refusal = FirstName(names) + " takes " + std::to_string(min) + ".." + std::to_string(max);
    return {names, value, help, [store, min, max, refusal](const char* v) {
                long long n = 0;
                if (!ParseInteger(v, min, max, &n))
                    return refusal;
                store(n);
                return std::string();
            }};
}

Option ChoiceRow(const std::string& names, const std::string& help, std::vector<std::string> words,
                 std::function<void(size_t)> store)
{
    std::string placeholder;
    for (const std::string& w : words)
        placeholder += (placeholder.empty() ? "" : "|") + w;
    const std::string refusal = FirstName(names) + " takes " + Alternatives(words);
    return {names, placeholder, help, [words, store, refusal](const char* v) {
                const auto it = std::find(words.begin(), words.end(), v);
                if (it == words.end())
                    return refusal;
                store(static_cast<size_t>(it - words.begin()));
                return std::string();
            }};
}

CommandLine::CommandLine(std::string program, std::string about)
    : m_program(std::move(program)), m_about(std::move(about))
{
}

std::string CommandLine::Read(int argc, const char* const* argv)
{
    size_t taken = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            m_help = true;
            return "";
        }
        const auto option =
            std::find_if(options.begin(), options.end(), [&](const Option& o) { return HasName(o.names, arg); });
        if (option != options.end()) {
            const char* value = nullptr;
            if (!option->value.empty()) {
                if (i + 1 >= argc)
                    return arg + " needs a value";
                value = argv[++i];
            }
            const std::string refusal = option->take(value);
            if (!refusal.empty())
                return refusal;
            m_given.push_back(FirstName(option->names));
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (taken < arguments.size()) {
            *arguments[taken++].target = arg;
        } else {
            return tooMany;
        }
    }
    return taken < arguments.size() ? arguments[taken].missing : "";
}

void CommandLine::Parse(int argc, char** argv)
{
    const std::string mistake = Read(argc, argv);
    if (m_help) {
        fputs(Usage().c_str(), stdout);
        exit(0);
    }
    if (!mistake.empty())
        Fail(mistake);
}

bool CommandLine::Given(const std::string& name) const
{
    return std::find(m_given.begin(), m_given.end(), name) != m_given.end();
}

std::string CommandLine::Usage() const
{
    std::string text = "usage: " + m_program + " [options]";
    for (const Argument& a : arguments)
        text += " " + a.name;
    text += "\n\n" + m_about + "\n";
    for (const Option& o : options) {
        if (o.help.empty())
            continue;
        std::string line = "  " + FirstName(o.names) + (o.value.empty() ? "" : " " + o.value);
        line.resize(std::max(line.size() + 2, kHelpColumn), ' ');
        for (const char c : o.help)
            line += c == '\n' ? "\n" + std::string(kHelpColumn, ' ') : std::string(1, c);
        text += line + "\n";
    }
    return text + "  --help\n";
}

void CommandLine::Fail(const std::string& message) const
{
    fprintf(stderr, "%s: %s\n(%s --help for the options)\n", m_program.c_str(), message.c_str(), m_program.c_str());
    exit(2);
}

} // namespace svtool
