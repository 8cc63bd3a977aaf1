// The console's commands as a table: each has a name, a signature (its arguments), a line
// of help and a handler. One parser reads every command line against the table,
// so that arguments are checked the same way everywhere.
//
// A signature is a list of words:
//   N            a terminal: its number, or its id (KQ_FIRST_TERMINAL_ID or more)
//   name:int     a whole number (decimal or 0x hexadecimal, 32-bit)
//   name:byte    a whole number from 0 to 255
//   name:ms      a time in milliseconds, 0 to 3,600,000
//   name         a word (quote it to hold blanks)
//   name...      the rest of the line's words, joined by blanks
//   [any of these]  optional; only at the end
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ks318::tools {

class Console;

struct Parameter {
    enum class Kind { Terminal, Int, Byte, Ms, Word, Rest };
    std::string name;
    Kind kind = Kind::Word;
    bool optional = false;
};

// The arguments of one command line, by name.
class Args {
public:
    bool has(const std::string &name) const;
    std::int32_t terminal() const { return number("N"); }
    std::int32_t number(const std::string &name) const;  // 0 when absent
    std::int32_t number(const std::string &name, std::int32_t otherwise) const;
    std::string word(const std::string &name) const;      // empty when absent
    std::string word(const std::string &name, const std::string &otherwise) const;
    // The words of a rest-of-line argument one by one.
    std::vector<std::string> list(const std::string &name) const;

    void set(const std::string &name, std::string word, std::optional<std::int64_t> number,
             std::vector<std::string> list = {});

private:
    struct Value {
        std::string name;
        std::string word;
        std::optional<std::int64_t> number;
        std::vector<std::string> list;
    };
    const Value *find(const std::string &name) const;
    std::vector<Value> values_;
};

// Carries a command out; false when it failed (it has said why).
using Handler = std::function<bool(Console &, const Args &)>;

struct Command {
    std::string name;
    std::vector<Parameter> args;
    std::string help;
    Handler handler;
    std::string group;

    std::string usage() const;  // "text N x y text [colour] [height]"
};

struct ParsedLine {
    const Command *command = nullptr;  // null for an empty line or an error
    Args args;
    std::string error;                 // one line; empty when the line was fine
};

class CommandTable {
public:
    // Adds a command under the current group. A malformed signature is a fault of the
    // program, not of its user: it throws std::logic_error.
    void add(const std::string &name, const std::string &signature, const std::string &help, Handler handler);
    void group(const std::string &title) { group_ = title; }

    ParsedLine parse(const std::string &line) const;
    const Command *find(const std::string &name) const;
    const std::vector<Command> &commands() const { return commands_; }

    // Every command with its usage and help, by group; or one command's.
    std::string help() const;
    std::string help(const std::string &name) const;

private:
    static std::vector<Parameter> readSignature(const std::string &name, const std::string &signature);
    std::string closestName(const std::string &name) const;

    std::vector<Command> commands_;
    std::string group_;
};

// The console's whole command set.
const CommandTable &consoleCommands();

}  // namespace ks318::tools
