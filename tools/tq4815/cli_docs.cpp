// Completion and man page from the CLI11 declaration: every subcommand, option, value
// name and description is read back from the App and Option objects.
#include "cli_docs.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "cli.h"

namespace tool {
namespace {

std::vector<const CLI::App *> Subcommands(const CLI::App &app)
{
    return app.get_subcommands([](const CLI::App *) { return true; });
}

// Options a user sees (not the hidden ones of the empty group).
std::vector<const CLI::Option *> VisibleOptions(const CLI::App &app)
{
    return app.get_options([](const CLI::Option *opt) { return !opt->get_group().empty(); });
}

bool TakesValue(const CLI::Option *opt)
{
    return opt->get_items_expected_max() > 0;
}

// Every option word a command accepts, its parent's fall-through options included.
std::string OptionWords(const CLI::App &app)
{
    std::string words;
    for (const CLI::App *at = &app; at != nullptr; at = at->get_parent()) {
        for (const CLI::Option *opt : VisibleOptions(*at))
            for (const std::string &name : opt->get_lnames())
                words += " --" + name;
        if (!at->get_fallthrough())
            break;
    }
    return words;
}

// The completion state of one command: its subcommand words or its option words.
void CompletionCase(const CLI::App &app, const std::string &path, std::ostream &out)
{
    std::string words;
    for (const CLI::App *sub : Subcommands(app))
        words += " " + sub->get_name();
    words += OptionWords(app);
    out << "        \"" << path << "\") words=\"" << (words.empty() ? "" : words.substr(1)) << "\" ;;\n";
    for (const CLI::App *sub : Subcommands(app))
        CompletionCase(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), out);
}

// Options whose value is a file name, completed from the file system.
void FileOptions(const CLI::App &app, std::string &names)
{
    for (const CLI::Option *opt : VisibleOptions(app))
        if (opt->get_type_name().rfind("FILE", 0) == 0)
            for (const std::string &name : opt->get_lnames())
                if (names.find("--" + name + "|") == std::string::npos && names.find("--" + name + ")") == std::string::npos)
                    names += (names.empty() ? "--" : "|--") + name;
    for (const CLI::App *sub : Subcommands(app))
        FileOptions(*sub, names);
}

void ValueOptions(const CLI::App &app, std::vector<std::string> &names)
{
    for (const CLI::Option *opt : VisibleOptions(app))
        if (TakesValue(opt) && !opt->get_positional())
            for (const std::string &name : opt->get_lnames())
                if (std::find(names.begin(), names.end(), "--" + name) == names.end())
                    names.push_back("--" + name);
    for (const CLI::App *sub : Subcommands(app))
        ValueOptions(*sub, names);
}

// Escapes text for troff: backslashes, and a leading dot or quote.
std::string Troff(const std::string &text)
{
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && (c == '.' || c == '\''))
            out += "\\&";
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
        lineStart = c == '\n';
    }
    return out;
}

std::string Synopsis(const CLI::App &app)
{
    std::string text;
    for (const CLI::Option *opt : VisibleOptions(app))
        if (opt->get_positional())
            text += " " + std::string(opt->get_required() ? "" : "[") + opt->get_name() +
                    (opt->get_items_expected_max() > 1 ? "..." : "") + (opt->get_required() ? "" : "]");
    return text;
}

void ManCommand(const CLI::App &app, const std::string &path, std::ostream &out)
{
    std::vector<const CLI::App *> subs = Subcommands(app);
    out << ".SS \"" << Troff(path) << "\"\n";
    out << ".B tq4815 " << Troff(path) << "\n" << (subs.empty() ? "" : ".I COMMAND\n");
    std::string synopsis = Synopsis(app);
    if (!synopsis.empty())
        out << ".I " << Troff(synopsis.substr(1)) << "\n";
    out << ".B [options]\n.br\n" << Troff(app.get_description()) << "\n";
    for (const CLI::Option *opt : VisibleOptions(app)) {
        if (opt->get_lnames().empty() && !opt->get_positional())
            continue;
        out << ".TP\n";
        if (opt->get_positional())
            out << ".I " << Troff(opt->get_name()) << "\n";
        else
            out << ".B \\-\\-" << Troff(opt->get_lnames().front())
                << (TakesValue(opt) ? " \" " + Troff(opt->get_type_name()) + "\"" : std::string()) << "\n";
        out << Troff(opt->get_description());
        if (!opt->get_default_str().empty())
            out << " (default " << Troff(opt->get_default_str()) << ")";
        out << "\n";
    }
    std::string footer = app.get_footer();
    if (!footer.empty())
        out << ".PP\n" << Troff(footer) << "\n";
    for (const CLI::App *sub : subs)
        ManCommand(*sub, path + " " + sub->get_name(), out);
}

}  // namespace

void WriteBashCompletion(const CLI::App &app, std::ostream &out)
{
    std::string files;
    FileOptions(app, files);
    std::vector<std::string> valueOptions;
    ValueOptions(app, valueOptions);
    std::string values;
    for (const std::string &name : valueOptions)
        values += (values.empty() ? "" : "|") + name;
    out << "# bash completion for tq4815 (written by tq4815 --bash-completion)\n"
           "_tq4815()\n{\n"
           "    local cur prev path=\"\" word words i\n"
           "    cur=\"${COMP_WORDS[COMP_CWORD]}\"\n"
           "    prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
           "    case \"$prev\" in\n";
    if (!files.empty())
        out << "        " << files << ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
    if (!values.empty())
        out << "        " << values << ") COMPREPLY=(); return ;;\n";
    out << "    esac\n"
           "    # The command path: the words before the cursor that name subcommands.\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        word=\"${COMP_WORDS[i]}\"\n"
           "        case \"$word\" in -*) continue ;; esac\n"
           "        case \"${path:+$path }$word\" in\n";
    std::vector<std::string> paths;
    std::function<void(const CLI::App &, const std::string &)> collect = [&](const CLI::App &at, const std::string &path) {
        for (const CLI::App *sub : Subcommands(at)) {
            std::string full = path.empty() ? sub->get_name() : path + " " + sub->get_name();
            paths.push_back(full);
            collect(*sub, full);
        }
    };
    collect(app, "");
    std::string pattern;
    for (const std::string &path : paths)
        pattern += (pattern.empty() ? "\"" : "|\"") + path + "\"";
    out << "            " << pattern << ") path=\"${path:+$path }$word\" ;;\n"
           "        esac\n"
           "    done\n"
           "    case \"$path\" in\n";
    CompletionCase(app, "", out);
    out << "    esac\n"
           "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
           "}\n"
           "complete -F _tq4815 tq4815\n";
}

void WriteManPage(const CLI::App &app, std::ostream &out)
{
    out << ".\\\" Written by tq4815 --man-page from its command-line declaration.\n"
        << ".TH TQ4815 1 \"\" \"tq4815 " << Troff(ToolVersion()) << "\" \"User Commands\"\n"
        << ".SH NAME\ntq4815 \\- acquisitions and board-level work on the Tq4815 card\n"
        << ".SH SYNOPSIS\n.B tq4815\n.I COMMAND\n.RI [ options ]\n.br\n.B tq4815 \\-\\-version\n"
        << ".SH DESCRIPTION\n" << Troff(app.get_description()) << "\n"
        << ".SH COMMANDS\n";
    for (const CLI::App *sub : Subcommands(app))
        ManCommand(*sub, sub->get_name(), out);
    out << ".SH ENVIRONMENT\n.TP\n.B TQ4815_SIM\nthe simulated card's configuration: key=value items separated by ';'\n"
           ".TP\n.B TQ_TAVLON_LIBRARY\nthe TAVLON library to load instead of the one beside the tool\n";
}

}  // namespace tool
