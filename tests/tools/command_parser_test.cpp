// The console's command table and parser, and the words and numbers both
// programs read: every command against a well-formed line, and bad input.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "tools/common/code_names.h"
#include "tools/common/words.h"
#include "tools/console/command_table.h"

namespace ks318::tools {
namespace {

// The text with every run of blanks and line ends made one blank.
std::string singleSpaced(const std::string &text) {
    std::string out;
    for (char c : text) {
        const bool blank = c == ' ' || c == '\n';
        if (!blank) out += c;
        else if (out.empty() || out.back() != ' ') out += ' ';
    }
    return out;
}

std::vector<std::string> split(const std::string &line) {
    std::string error;
    auto words = splitWords(line, error);
    EXPECT_TRUE(words.has_value()) << line << ": " << error;
    return words.value_or(std::vector<std::string>{});
}

std::string splitError(const std::string &line) {
    std::string error;
    EXPECT_FALSE(splitWords(line, error).has_value()) << line;
    return error;
}

TEST(Words, QuotesEscapesAndComments) {
    EXPECT_EQ(split("  text 1   2 "), (std::vector<std::string>{"text", "1", "2"}));
    EXPECT_EQ(split("card 'first track' \"second\\ttrack\""), (std::vector<std::string>{"card", "first track", "second\ttrack"}));
    EXPECT_EQ(split("ab'c d'\"e\""), (std::vector<std::string>{"abc de"}));
    EXPECT_EQ(split("'a\\n' \"a\\n\""), (std::vector<std::string>{"a\\n", "a\n"}));  // single quotes keep backslashes
    EXPECT_EQ(split("\"\\x41\\x7e\\0\""), (std::vector<std::string>{std::string("A~\0", 3)}));
    EXPECT_EQ(split("a\\ b c"), (std::vector<std::string>{"a b", "c"}));
    EXPECT_EQ(split("'' x"), (std::vector<std::string>{"", "x"}));
    EXPECT_EQ(split("list # the terminals"), (std::vector<std::string>{"list"}));
    EXPECT_EQ(split("echo a#b"), (std::vector<std::string>{"echo", "a#b"}));
    EXPECT_TRUE(split("   ").empty());
    EXPECT_TRUE(split("# only a comment").empty());

    EXPECT_EQ(splitError("text 'open"), "a ' quote is not closed");
    EXPECT_EQ(splitError("text \"open"), "a \" quote is not closed");
    EXPECT_EQ(splitError("\"\\q\""), "unknown escape \\q");
    EXPECT_EQ(splitError("\"\\x4\""), "\\x wants two hexadecimal digits");
    EXPECT_EQ(splitError("end\\"), "a backslash ends the line");
}

TEST(Words, NumbersInRange) {
    EXPECT_EQ(parseNumber("42"), 42);
    EXPECT_EQ(parseNumber("-7"), -7);
    EXPECT_EQ(parseNumber("+7"), 7);
    EXPECT_EQ(parseNumber("0x1F"), 31);
    EXPECT_EQ(parseNumber("-0x10"), -16);
    EXPECT_EQ(parseNumber("2147483647"), INT32_MAX);
    EXPECT_EQ(parseNumber("-2147483648"), INT32_MIN);
    for (const char *bad : {"", "-", "0x", "12a", "1e3", " 1", "--1", "+-1", "2147483648", "-2147483649", "99999999999999999999999"})
        EXPECT_FALSE(parseNumber(bad).has_value()) << bad;
    EXPECT_FALSE(parseNumber("256", 0, 255).has_value());
    EXPECT_EQ(parseNumber("255", 0, 255), 255);
    EXPECT_FALSE(parseNumber("-1", 0, 255).has_value());
}

TEST(Words, QuotedTextEscapesAndCuts) {
    EXPECT_EQ(quoteText("hello"), "\"hello\"");
    EXPECT_EQ(quoteText(std::string("a\r\n\t\"\\\x01\xFF", 8)), "\"a\\r\\n\\t\\\"\\\\\\x01\\xFF\"");
    EXPECT_EQ(quoteText("abcdef", 3), "\"abc\"...");
}

TEST(CodeNames, NamesAndNumbersLeadToTheSameCodes) {
    std::uint16_t code = 0;
    for (std::uint16_t known : {17, 35, 53, 69, 83, 98, 99, 131, 176, 179, 189}) {
        ASSERT_TRUE(codeFromName(codeName(known), code)) << known;
        EXPECT_EQ(code, known);
    }
    EXPECT_EQ(codeName(35), "text");
    EXPECT_EQ(codeName(500), "code-500");
    EXPECT_EQ(notificationName(171), "sensor/display-time");
    EXPECT_EQ(notificationName(179), "volume");
    ASSERT_TRUE(codeFromName("0x35", code));
    EXPECT_EQ(code, 0x35);
    EXPECT_FALSE(codeFromName("volumes", code));
    EXPECT_FALSE(codeFromName("70000", code));
}

// A line that fills every argument of a command, optional ones included.
std::string fullLine(const Command &command) {
    std::string line = command.name;
    for (const Parameter &arg : command.args) {
        switch (arg.kind) {
        case Parameter::Kind::Terminal: line += " 3"; break;
        case Parameter::Kind::Int: line += " -12"; break;
        case Parameter::Kind::Byte: line += " 200"; break;
        case Parameter::Kind::Ms: line += " 250"; break;
        case Parameter::Kind::Word: line += " 'a word'"; break;
        case Parameter::Kind::Rest: line += " one 'two three'"; break;
        }
    }
    return line;
}

TEST(CommandTable, EveryCommandTakesAFullLineAndRefusesAShortOrLongOne) {
    const CommandTable &table = consoleCommands();
    ASSERT_GE(table.commands().size(), 60u);
    for (const Command &command : table.commands()) {
        SCOPED_TRACE(command.name);
        const ParsedLine parsed = table.parse(fullLine(command));
        ASSERT_EQ(parsed.error, "");
        ASSERT_EQ(parsed.command, &command);
        for (const Parameter &arg : command.args) {
            ASSERT_TRUE(parsed.args.has(arg.name)) << arg.name;
            switch (arg.kind) {
            case Parameter::Kind::Terminal: EXPECT_EQ(parsed.args.terminal(), 3); break;
            case Parameter::Kind::Int: EXPECT_EQ(parsed.args.number(arg.name), -12); break;
            case Parameter::Kind::Byte: EXPECT_EQ(parsed.args.number(arg.name), 200); break;
            case Parameter::Kind::Ms: EXPECT_EQ(parsed.args.number(arg.name), 250); break;
            case Parameter::Kind::Word: EXPECT_EQ(parsed.args.word(arg.name), "a word"); break;
            case Parameter::Kind::Rest:
                EXPECT_EQ(parsed.args.word(arg.name), "one two three");
                EXPECT_EQ(parsed.args.list(arg.name), (std::vector<std::string>{"one", "two three"}));
                break;
            }
        }
        const bool takesRest = !command.args.empty() && command.args.back().kind == Parameter::Kind::Rest;
        if (!takesRest) {
            const ParsedLine longer = table.parse(fullLine(command) + " extra");
            EXPECT_EQ(longer.command, nullptr);
            EXPECT_NE(longer.error.find("too many arguments"), std::string::npos) << longer.error;
        }
        if (!command.args.empty() && !command.args.front().optional) {
            const ParsedLine bare = table.parse(command.name);
            EXPECT_EQ(bare.command, nullptr);
            EXPECT_EQ(bare.error, command.name + ": missing " + command.args.front().name + " (usage: " + command.usage() + ")");
        }
        // Every command is in the help, with its usage (wrapped where it is long).
        EXPECT_NE(singleSpaced(table.help()).find(" " + command.usage() + " "), std::string::npos) << command.usage();
    }
}

TEST(CommandTable, ArgumentsAreReadByTheirKind) {
    const CommandTable &table = consoleCommands();
    ParsedLine text = table.parse("text 2 -5 0x10 \"Olá, world\" 11");
    ASSERT_NE(text.command, nullptr) << text.error;
    EXPECT_EQ(text.command->name, "text");
    EXPECT_EQ(text.args.terminal(), 2);
    EXPECT_EQ(text.args.number("x"), -5);
    EXPECT_EQ(text.args.number("y"), 16);
    EXPECT_EQ(text.args.word("text"), "Olá, world");
    EXPECT_EQ(text.args.number("colour", 15), 11);
    EXPECT_FALSE(text.args.has("height"));
    EXPECT_EQ(text.args.number("height", 99), 99);
    EXPECT_EQ(text.args.word("font", "none"), "none");

    const ParsedLine empty = table.parse("   # nothing to do");
    EXPECT_EQ(empty.command, nullptr);
    EXPECT_EQ(empty.error, "");
}

TEST(CommandTable, BadInputGetsOneClearLine) {
    const CommandTable &table = consoleCommands();
    auto error = [&](const std::string &line) {
        const ParsedLine parsed = table.parse(line);
        EXPECT_EQ(parsed.command, nullptr) << line;
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << parsed.error;
        return parsed.error;
    };
    EXPECT_EQ(error("volum 2"), "unknown command 'volum' (did you mean volume?); help lists every command");
    EXPECT_EQ(error("frobnicate"), "unknown command 'frobnicate'; help lists every command");
    EXPECT_EQ(error("fill 1 abc"), "fill: index must be a whole number, not 'abc' (usage: fill N index)");
    EXPECT_EQ(error("fill 0 1"), "fill: N must be a terminal number or id (1 or more), not '0' (usage: fill N index)");
    EXPECT_EQ(error("fill -1 1"), "fill: N must be a terminal number or id (1 or more), not '-1' (usage: fill N index)");
    EXPECT_EQ(error("fill 1 4294967296"),
              "fill: index must be a whole number, not '4294967296' (usage: fill N index)");
    EXPECT_EQ(error("block 1 0 0 4 4 256"),
              "block: index must be a number from 0 to 255, not '256' (usage: block N x y width height [index])");
    EXPECT_EQ(error("sleep -1"), "sleep: ms must be a time in milliseconds (0 to 3600000), not '-1' (usage: sleep ms)");
    EXPECT_EQ(error("text 1 10"), "text: missing y (usage: text N x y text [colour] [height] [font])");
    EXPECT_EQ(error("list now"), "list: too many arguments (usage: list)");
    EXPECT_EQ(error("text 1 2 3 'unclosed"), "a ' quote is not closed");
}

TEST(CommandTable, MalformedSignaturesAreRefusedWhenTheTableIsBuilt) {
    CommandTable table;
    auto none = [](Console &, const Args &) { return true; };
    EXPECT_THROW(table.add("a", "[x] y", "", none), std::logic_error);
    EXPECT_THROW(table.add("b", "x:float", "", none), std::logic_error);
    EXPECT_THROW(table.add("c", "rest... more", "", none), std::logic_error);
    EXPECT_THROW(table.add("d", ":int", "", none), std::logic_error);
    EXPECT_THROW(table.add("e", "'open", "", none), std::logic_error);
    table.add("f", "N [count:int]", "", none);
    EXPECT_THROW(table.add("f", "", "", none), std::logic_error);
    EXPECT_EQ(table.find("f")->usage(), "f N [count]");
    EXPECT_EQ(table.find("a"), nullptr);
}

TEST(CommandTable, NamesAreUniqueAndHelpIsGrouped) {
    std::set<std::string> names;
    for (const Command &command : consoleCommands().commands()) {
        EXPECT_TRUE(names.insert(command.name).second) << command.name;
        EXPECT_FALSE(command.help.empty()) << command.name;
    }
    const std::string help = consoleCommands().help();
    for (const char *group : {"Session\n", "Terminal\n", "Model 320\n", "Screen\n", "Files\n"})
        EXPECT_NE(help.find(group), std::string::npos) << group;
    EXPECT_EQ(consoleCommands().help("fill"), "fill N index\n  fill the screen with a palette entry\n");
    // Every line fits 80 columns.
    std::size_t start = 0;
    while (start < help.size()) {
        const std::size_t end = help.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_LE(end - start, 80u) << help.substr(start, end - start);
        start = end + 1;
    }
    EXPECT_EQ(consoleCommands().help("nothing"), "");
}

}  // namespace
}  // namespace ks318::tools
