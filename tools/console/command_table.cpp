#include "tools/console/command_table.h"

#include <algorithm>
#include <stdexcept>

#include "tools/common/words.h"

namespace ks318::tools {
namespace {

struct Range {
    std::int64_t low, high;
    const char *what;
};

Range rangeOf(Parameter::Kind kind) {
    switch (kind) {
    case Parameter::Kind::Terminal: return {1, INT32_MAX, "a terminal number or id (1 or more)"};
    case Parameter::Kind::Byte: return {0, 255, "a number from 0 to 255"};
    case Parameter::Kind::Ms: return {0, 3600000, "a time in milliseconds (0 to 3600000)"};
    default: return {INT32_MIN, INT32_MAX, "a whole number"};
    }
}

bool isNumeric(Parameter::Kind kind) {
    return kind != Parameter::Kind::Word && kind != Parameter::Kind::Rest;
}

// Edit distance, for suggesting a command when a name is mistyped.
std::size_t distance(const std::string &a, const std::string &b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

bool Args::has(const std::string &name) const { return find(name) != nullptr; }

const Args::Value *Args::find(const std::string &name) const {
    for (const Value &value : values_)
        if (value.name == name) return &value;
    return nullptr;
}

std::int32_t Args::number(const std::string &name) const { return number(name, 0); }

std::int32_t Args::number(const std::string &name, std::int32_t otherwise) const {
    const Value *value = find(name);
    return value && value->number ? static_cast<std::int32_t>(*value->number) : otherwise;
}

std::string Args::word(const std::string &name) const { return word(name, {}); }

std::string Args::word(const std::string &name, const std::string &otherwise) const {
    const Value *value = find(name);
    return value ? value->word : otherwise;
}

std::vector<std::string> Args::list(const std::string &name) const {
    const Value *value = find(name);
    return value ? value->list : std::vector<std::string>{};
}

void Args::set(const std::string &name, std::string word, std::optional<std::int64_t> number,
               std::vector<std::string> list) {
    values_.push_back({name, std::move(word), number, std::move(list)});
}

std::string Command::usage() const {
    std::string text = name;
    for (const Parameter &arg : args) {
        const std::string shown = arg.name + (arg.kind == Parameter::Kind::Rest ? "..." : "");
        text += " " + (arg.optional ? "[" + shown + "]" : shown);
    }
    return text;
}

std::vector<Parameter> CommandTable::readSignature(const std::string &name, const std::string &signature) {
    std::string error;
    const auto words = splitWords(signature, error);
    if (!words) throw std::logic_error(name + ": bad signature: " + error);
    std::vector<Parameter> args;
    for (std::string word : *words) {
        Parameter arg;
        if (word.size() > 2 && word.front() == '[' && word.back() == ']') {
            arg.optional = true;
            word = word.substr(1, word.size() - 2);
        } else if (!args.empty() && args.back().optional) {
            throw std::logic_error(name + ": a required argument after an optional one");
        }
        if (!args.empty() && args.back().kind == Parameter::Kind::Rest)
            throw std::logic_error(name + ": an argument after the rest of the line");
        const std::size_t colon = word.find(':');
        if (word == "N") {
            arg.kind = Parameter::Kind::Terminal;
        } else if (word.size() > 3 && word.ends_with("...")) {
            arg.kind = Parameter::Kind::Rest;
            word.resize(word.size() - 3);
        } else if (colon != std::string::npos) {
            const std::string kind = word.substr(colon + 1);
            word.resize(colon);
            if (kind == "int") arg.kind = Parameter::Kind::Int;
            else if (kind == "byte") arg.kind = Parameter::Kind::Byte;
            else if (kind == "ms") arg.kind = Parameter::Kind::Ms;
            else throw std::logic_error(name + ": unknown argument kind '" + kind + "'");
        }
        if (word.empty()) throw std::logic_error(name + ": an argument without a name");
        arg.name = word;
        args.push_back(arg);
    }
    return args;
}

void CommandTable::add(const std::string &name, const std::string &signature, const std::string &help, Handler handler) {
    if (find(name) != nullptr) throw std::logic_error(name + ": added twice");
    commands_.push_back({name, readSignature(name, signature), help, std::move(handler), group_});
}

const Command *CommandTable::find(const std::string &name) const {
    for (const Command &command : commands_)
        if (command.name == name) return &command;
    return nullptr;
}

std::string CommandTable::closestName(const std::string &name) const {
    std::string best;
    std::size_t bestDistance = 3;  // further than two edits is no suggestion
    for (const Command &command : commands_) {
        const std::size_t d = distance(name, command.name);
        if (d < bestDistance) best = command.name, bestDistance = d;
    }
    return best;
}

ParsedLine CommandTable::parse(const std::string &line) const {
    ParsedLine parsed;
    std::string error;
    const auto words = splitWords(line, error);
    if (!words) {
        parsed.error = error;
        return parsed;
    }
    if (words->empty()) return parsed;
    const Command *command = find(words->front());
    if (command == nullptr) {
        const std::string near = closestName(words->front());
        parsed.error = "unknown command '" + words->front() + "'" + (near.empty() ? "" : " (did you mean " + near + "?)") +
                       "; help lists every command";
        return parsed;
    }
    const std::vector<std::string> given(words->begin() + 1, words->end());
    auto fail = [&](const std::string &why) {
        parsed.error = command->name + ": " + why + " (usage: " + command->usage() + ")";
        return parsed;
    };
    std::size_t next = 0;
    for (const Parameter &arg : command->args) {
        if (next >= given.size()) {
            if (arg.optional) break;
            return fail("missing " + arg.name);
        }
        if (arg.kind == Parameter::Kind::Rest) {
            std::string joined;
            for (std::size_t i = next; i < given.size(); ++i) joined += (i > next ? " " : "") + given[i];
            parsed.args.set(arg.name, joined, std::nullopt, std::vector<std::string>(given.begin() + static_cast<std::ptrdiff_t>(next), given.end()));
            next = given.size();
            break;
        }
        const std::string &word = given[next++];
        std::optional<std::int64_t> number;
        if (isNumeric(arg.kind)) {
            const Range range = rangeOf(arg.kind);
            number = parseNumber(word, range.low, range.high);
            if (!number) return fail(arg.name + " must be " + range.what + ", not '" + word + "'");
        }
        parsed.args.set(arg.name, word, number);
    }
    if (next < given.size()) return fail("too many arguments");
    parsed.command = command;
    return parsed;
}

namespace {

constexpr std::size_t kHelpWidth = 80, kUsageColumn = 24;

// Appends `words` to `text` as lines of at most kHelpWidth columns (a single
// longer word stands alone): the first line starts with `line`, later ones
// with `indent` blanks.
void appendWrapped(std::string &text, std::string line, std::size_t indent, const std::string &words) {
    bool empty = true;  // no word on this line yet
    std::size_t start = 0;
    while (start < words.size()) {
        const std::size_t end = std::min(words.find(' ', start), words.size());
        const std::string word = words.substr(start, end - start);
        start = end + 1;
        if (word.empty()) continue;
        if (!empty && line.size() + 1 + word.size() > kHelpWidth) {
            text += line + "\n";
            line.assign(indent, ' ');
            empty = true;
        }
        line += (empty ? "" : " ") + word;
        empty = false;
    }
    text += line + "\n";
}

}  // namespace

// The help fits a terminal of 80 columns: usages in a column of their own, each
// command's text beside its usage; a usage too wide for the column has its text
// on the lines below it.
std::string CommandTable::help() const {
    std::size_t width = 0;
    for (const Command &command : commands_) width = std::max(width, command.usage().size());
    width = std::min(width, kUsageColumn);
    const std::size_t textColumn = 2 + width + 2;
    std::string text;
    std::string group = "\x01";
    for (const Command &command : commands_) {
        if (command.group != group) {
            group = command.group;
            text += (text.empty() ? "" : "\n") + group + "\n";
        }
        const std::string usage = command.usage();
        std::string line(textColumn, ' ');
        if (usage.size() <= width) {
            line.replace(2, usage.size(), usage);
        } else {
            appendWrapped(text, "  ", 4, usage);
        }
        appendWrapped(text, line, textColumn, command.help);
    }
    return text;
}

std::string CommandTable::help(const std::string &name) const {
    const Command *command = find(name);
    if (command == nullptr) return {};
    return command->usage() + "\n  " + command->help + "\n";
}

}  // namespace ks318::tools
