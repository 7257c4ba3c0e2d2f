#pragma once

// How the command-line tools read their command lines: QCommandLineParser parses the arguments,
// and the options are taken in the order they were given, so a later one wins and the first wrong
// one is the one reported; help, version and a wrong command line are answered alike.
// A refusal is said in the tools' own words, with the option spelled as it was typed (the
// parser's own text drops the dashes of an unknown option).

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace commandline {

struct Given
{
    QString option; // "--rate": the option's long name with its dashes, whatever form was typed
    QString value;  // empty for an option that takes none
};

namespace detail {

inline const QCommandLineOption *find(const QList<QCommandLineOption> &options, const QString &name)
{
    for (const QCommandLineOption &option : options)
        if (option.names().contains(name))
            return &option;
    return nullptr;
}

inline QString spelled(const QCommandLineOption &option)
{
    const QString name = option.names().last();
    return (name.size() > 1 ? QStringLiteral("--") : QStringLiteral("-")) + name;
}

// What the parser refused, found again by walking the arguments as it does.
inline QString refusal(const QCommandLineParser &parser, const QList<QCommandLineOption> &options,
                       const QStringList &arguments)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == u"--")
            break;
        if (!a.startsWith(u'-') || a == u"-")
            continue;
        if (!a.startsWith(QStringLiteral("--"))) {
            // Short options, which may be run together as in -hv.
            for (qsizetype c = 1; c < a.size(); ++c) {
                const QCommandLineOption *option = find(options, a.mid(c, 1));
                if (!option)
                    return QStringLiteral("unknown option '-%1'").arg(a.at(c));
                if (!option->valueName().isEmpty()) {
                    if (c + 1 == a.size() && i + 1 == arguments.size())
                        return QStringLiteral("-%1 needs a value").arg(a.at(c));
                    if (c + 1 == a.size())
                        ++i;
                    break;
                }
            }
            continue;
        }
        const QString typed = a.section(u'=', 0, 0);
        const bool inlineValue = a.contains(u'=');
        const QCommandLineOption *option = find(options, typed.mid(2));
        if (!option)
            return QStringLiteral("unknown option '%1'").arg(typed);
        if (option->valueName().isEmpty() && inlineValue)
            return QStringLiteral("%1 takes no value").arg(typed);
        if (!option->valueName().isEmpty() && !inlineValue) {
            if (i + 1 == arguments.size())
                return QStringLiteral("%1 needs a value").arg(typed);
            ++i;
        }
    }
    return parser.errorText();
}

} // namespace detail

// Parses `arguments` (without the program name) against `options`. True with `given` in the
// order typed; false with `fault`, one line, for an unknown option, a missing or unwanted value,
// or a word that is no option.
inline bool parse(const QList<QCommandLineOption> &options, const QStringList &arguments,
                  QList<Given> *given, QString *fault)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    parser.addOptions(options);
    if (!parser.parse(QStringList{QString()} + arguments)) {
        *fault = detail::refusal(parser, options, arguments);
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *fault =
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
        return false;
    }
    // The parser keeps each option's values apart; its names list keeps their order.
    QList<const QCommandLineOption *> taken;
    for (const QString &name : parser.optionNames()) {
        const QCommandLineOption *option = detail::find(options, name);
        const qsizetype index = taken.count(option);
        taken.append(option);
        const QStringList values = parser.values(name);
        given->append({detail::spelled(*option),
                       option->valueName().isEmpty() ? QString() : values.value(index)});
    }
    return true;
}

// A tool's command line as read: what it asks for and, for a run, the options.
template <typename Options>
struct CommandLine
{
    enum class Action
    {
        Run,
        Help,
        Version,
        Error,
    };
    Action action = Action::Run;
    Options options;
    QString error; // for Action::Error: what is wrong, one line

    // Parses `arguments` against `known` into `given`; false, with the refusal, when the parser
    // refused them.
    bool read(const QList<QCommandLineOption> &known, const QStringList &arguments,
              QList<Given> *given)
    {
        QString fault;
        if (parse(known, arguments, given, &fault))
            return true;
        refuse(fault);
        return false;
    }
    // The command line is wrong: `why`, one line.
    CommandLine &refuse(const QString &why)
    {
        action = Action::Error;
        error = why;
        return *this;
    }
};

// What every tool does with a command line that asks for no run: prints the help, the version
// or the fault (with the hint to --help) and gives the exit status; -1 for a run.
template <typename Options>
int answerOtherThanRun(const CommandLine<Options> &parsed, const char *program,
                       QString (*help)())
{
    using Action = typename CommandLine<Options>::Action;
    switch (parsed.action) {
    case Action::Help:
        std::fputs(help().toLocal8Bit().constData(), stdout);
        return 0;
    case Action::Version:
        std::printf("%s %s\n", program, VORLATT_VERSION);
        return 0;
    case Action::Error:
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, qPrintable(parsed.error),
                     program);
        return 2;
    case Action::Run:
        break;
    }
    return -1;
}

} // namespace commandline
