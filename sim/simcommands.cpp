#include "simcommands.h"
#include "simmodel.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <optional>
#include <type_traits>
#include <vector>

namespace zelsim {

namespace {

// A command's arguments as the table's rows take them: parts, numbers, flags and
// steps (as their index) in `n`, in order and with defaults filled in; a byte
// string and a text on their own.
struct Args
{
    QList<int> n;
    QByteArray bytes;
    QString text;
};

struct Command
{
    const char *name;
    // Named as the line gives them, optional ones in brackets: "part" a part
    // number, "step" a step's name, "on" a flag (1 when left out), "hex" a byte
    // string, "text" the rest of the line; any other name is a number (0 when
    // left out).
    const char *arguments;
    Answer answer;
    std::function<Value(Model &, const Args &)> run;
    // Given to no instrument in particular, the command is for every instrument
    // of the bench rather than the first.
    bool everyInstrument = false;
};

// A row: what its function returns decides what the command answers.
template <typename F> Command command(const char *name, const char *arguments, F f)
{
    using R = std::invoke_result_t<F, Model &, const Args &>;
    constexpr Answer answer = std::is_same_v<R, int>          ? Answer::Number
                              : std::is_same_v<R, QByteArray> ? Answer::Bytes
                              : std::is_void_v<R>             ? Answer::Nothing
                                                              : Answer::List;
    return {name, arguments, answer, [f](Model &m, const Args &a) {
                Value v;
                v.kind = answer;
                if constexpr (answer == Answer::Nothing)
                    f(m, a);
                else if constexpr (answer == Answer::Number)
                    v.number = f(m, a);
                else if constexpr (answer == Answer::Bytes)
                    v.bytes = f(m, a);
                else
                    v.list = f(m, a);
                return v;
            }};
}

Command forEveryInstrument(Command c)
{
    c.everyInstrument = true;
    return c;
}

// The board named by a command's first argument, a part number the parser checked.
Board &board(Model &m, const Args &a)
{
    return m.boards[a.n[0]];
}

const char *const stepNames[] = {"version", "start", "data", "end", "versionAfterUpdate"};

// Adding a fault: its behaviour in the model (simmodel.cpp) and one row here.
// Every row is also a ZEL_SIM setting of the demo ("name=arg:arg").
const std::vector<Command> &commands()
{
    using A = const Args &;
    static const std::vector<Command> table = {
        // Back to defaults: every board present in Normal mode with its default
        // version and nothing received, no serial number, no faults, latency 0,
        // restart time 1500 ms, logs cleared, open handles invalidated; the first
        // instrument attached, any other unplugged. Given to no instrument in
        // particular, it resets the whole bench.
        forEveryInstrument(command("reset", "", [](Model &m, A) { m.reset(); })),
        // The instrument reports `text` as its serial number; none when left out.
        command("serial", "[text]", [](Model &m, A a) { m.serial = a.text; }),

        // --- timing ---
        // The main board is back on USB `ms` after its restart.
        command("restartMs", "ms", [](Model &m, A a) { m.restartDelayMs = qMax(0, a.n[0]); }),
        // Every answer comes `ms` late; 0: it is there for the next read.
        command("latencyMs", "ms", [](Model &m, A a) { m.answerLatencyMs = qMax(0, a.n[0]); }),

        // --- plugging ---
        // Open handles fail from now on and nothing finds the device.
        command("unplug", "",
                [](Model &m, A) {
                    m.tick();
                    if (m.attached || m.restarting)
                        m.disappear();
                }),
        // The device is found again; handles of before stay dead.
        command("plug", "",
                [](Model &m, A) {
                    m.tick();
                    m.restarting = false;
                    m.attached = true;
                }),
        // The device goes away right after data line `line` (from 0).
        command("unplugAfterLine", "line", [](Model &m, A a) { m.unplugLine = a.n[0]; }),

        // --- faults of a board ---
        // The board runs firmware with version byte `version` (29 is v2.9).
        command("version", "part version",
                [](Model &m, A a) { board(m, a).version = a.n[1] & 0xFF; }),
        // The board never answers anything.
        command("absent", "part [on]", [](Model &m, A a) { board(m, a).present = !a.n[1]; }),
        // The board stops answering at `step` (for data, from line `line`) for good.
        command("silentFrom", "part step [line]",
                [](Model &m, A a) {
                    Board &b = board(m, a);
                    b.silentArmed = true;
                    b.silentStep = Step(a.n[1]);
                    b.silentLine = a.n[2];
                }),
        // The board refuses to enter update mode.
        command("refuseStart", "part [on]",
                [](Model &m, A a) { board(m, a).refuseStart = a.n[1]; }),
        // The board answers 0 to data line `line` (from 0); -1: to none.
        command("rejectLine", "part line", [](Model &m, A a) { board(m, a).rejectLine = a.n[1]; }),
        // The board rejects the end message.
        command("rejectEnd", "part [on]", [](Model &m, A a) { board(m, a).rejectEnd = a.n[1]; }),
        // After an update the board reports `version`; -1: the image's own.
        command("versionAfterUpdate", "part version",
                [](Model &m, A a) {
                    board(m, a).versionAfterUpdate = a.n[1] < 0 ? -1 : a.n[1] & 0xFF;
                }),
        // The board sends every answer twice.
        command("duplicateAcks", "part [on]",
                [](Model &m, A a) { board(m, a).duplicateAcks = a.n[1]; }),
        // The board's answers carry part `foreign`; -1: its own.
        command("answerAs", "part foreign",
                [](Model &m, A a) { board(m, a).answerAs = a.n[1] < 0 ? -1 : a.n[1] & 0xFF; }),

        // --- faults of the link ---
        // Listed, but opening it fails as for a user without permission on the node.
        command("accessDenied", "[on]", [](Model &m, A a) { m.accessDenied = a.n[0]; }),
        // The write or read after `after` good ones fails with `text` (in the rig
        // with EIO and the library's text).
        command("failWrite", "[after] [text]",
                [](Model &m, A a) {
                    m.failWrite.arm(a.text.isEmpty() ? QStringLiteral("simulated write failure")
                                                     : a.text,
                                    a.n[0]);
                }),
        command("failRead", "[after] [text]",
                [](Model &m, A a) {
                    m.failRead.arm(a.text.isEmpty() ? QStringLiteral("simulated read failure")
                                                    : a.text,
                                   a.n[0]);
                }),
        // The next read hands out `hex` as it is.
        command("injectInputReport", "hex",
                [](Model &m, A a) { m.injected.emplace_back(Clock::now(), a.bytes); }),

        // --- read-backs ---
        command("attached", "",
                [](Model &m, A) {
                    m.tick();
                    return int(m.attached);
                }),
        // The version byte the board would report now.
        command("boardVersion", "part", [](Model &m, A a) { return board(m, a).version; }),
        // A Mode: 0 normal, 1 update.
        command("mode", "part", [](Model &m, A a) { return int(board(m, a).mode); }),
        // The exact bytes of the data lines the board accepted since its last start.
        command("receivedText", "part", [](Model &m, A a) { return board(m, a).received; }),
        // The last text the board accepted as a whole, empty if none.
        command("installedImage", "part", [](Model &m, A a) { return board(m, a).installed; }),
        // Every output report written, 65 bytes each with the report id.
        command("writtenReports", "", [](Model &m, A) { return m.written; }),
        // Every message decoded from them, in order.
        command("messages", "", [](Model &m, A) { return m.decoded; }),
        command("clearLog", "",
                [](Model &m, A) {
                    m.written.clear();
                    m.decoded.clear();
                }),
        command("restartCount", "", [](Model &m, A) { return m.restarts; }),
        // Successful opens of the device.
        command("openCount", "", [](Model &m, A) { return m.opens; }),
        // N of its device node hidrawN while it is listed, -1 otherwise.
        command("node", "", [](Model &m, A) { return m.node; }),
    };
    return table;
}

const Command *find(const QByteArray &name)
{
    for (const Command &c : commands()) {
        if (name == c.name)
            return &c;
    }
    return nullptr;
}

bool parseWord(const QByteArray &kind, const QByteArray &word, Args *args)
{
    if (kind == "hex") {
        args->bytes = QByteArray::fromHex(word);
        return !word.isEmpty() && args->bytes.toHex() == word.toLower();
    }
    if (kind == "step") {
        const auto *name = std::find(std::begin(stepNames), std::end(stepNames), word);
        args->n.append(int(name - std::begin(stepNames)));
        return name != std::end(stepNames);
    }
    bool ok = false;
    const int n = word.toInt(&ok);
    if (kind == "part")
        ok = ok && n >= 1 && n <= BoardCount;
    else if (kind == "on")
        ok = ok && (n == 0 || n == 1);
    args->n.append(n);
    return ok;
}

// The arguments as `command` takes them from `rest`, what follows the name and
// its space (none for a line that is the name alone); false if they do not fit.
bool parse(const Command &command, std::optional<QByteArray> rest, Args *args)
{
    for (QByteArray kind : QByteArray(command.arguments).split(' ')) {
        if (kind.isEmpty())
            continue;
        const bool optional = kind.startsWith('[');
        if (optional)
            kind = kind.mid(1, kind.size() - 2);
        if (!rest) {
            if (!optional)
                return false;
            if (kind != "text")
                args->n.append(kind == "on" ? 1 : 0);
        } else if (kind == "text") {
            args->text = QString::fromUtf8(*rest);
            rest.reset();
        } else {
            const int space = rest->indexOf(' ');
            if (!parseWord(kind, space < 0 ? *rest : rest->left(space), args))
                return false;
            rest = space < 0 ? std::nullopt : std::optional<QByteArray>(rest->mid(space + 1));
        }
    }
    return !rest;
}

const Command *lookUp(const QByteArray &line, std::optional<QByteArray> *rest, QString *error)
{
    const int space = line.indexOf(' ');
    const QByteArray name = space < 0 ? line : line.left(space);
    const Command *command = find(name);
    if (!command)
        *error = QStringLiteral("unknown command '%1'").arg(QString::fromUtf8(name));
    if (space >= 0)
        *rest = line.mid(space + 1);
    return command;
}

} // namespace

QByteArray Value::text() const
{
    switch (kind) {
    case Answer::Number:
        return QByteArray::number(number);
    case Answer::Bytes:
        return bytes.toHex();
    case Answer::List: {
        QByteArrayList hex;
        for (const QByteArray &item : list)
            hex << item.toHex();
        return hex.join(' ');
    }
    case Answer::Nothing:
        break;
    }
    return QByteArray();
}

Value Value::fromText(Answer kind, const QByteArray &text)
{
    Value v;
    v.kind = kind;
    if (kind == Answer::Number)
        v.number = text.toInt();
    if (kind == Answer::Bytes)
        v.bytes = QByteArray::fromHex(text);
    if (kind == Answer::List) {
        for (const QByteArray &hex : text.split(' ')) {
            if (!hex.isEmpty())
                v.list << QByteArray::fromHex(hex);
        }
    }
    return v;
}

QByteArray stepName(Step step)
{
    return stepNames[int(step)];
}

bool splitAddress(const QByteArray &line, int *number, QByteArray *command, QString *error)
{
    *number = 0;
    *command = line;
    if (!line.startsWith('@'))
        return true;
    const int space = line.indexOf(' ');
    const QByteArray digits = line.mid(1, space < 0 ? -1 : space - 1);
    bool ok = false;
    *number = digits.toInt(&ok);
    if (!ok || *number < 1 || *number > InstrumentCount || digits.startsWith('+')) {
        *error = QStringLiteral("no instrument '%1': the bench has 1 to %2")
                     .arg(QString::fromUtf8(digits))
                     .arg(InstrumentCount);
        return false;
    }
    *command = space < 0 ? QByteArray() : line.mid(space + 1);
    return true;
}

bool runCommand(Model &model, const QByteArray &line, Value *answer, QString *error)
{
    std::optional<QByteArray> rest;
    const Command *command = lookUp(line, &rest, error);
    if (!command)
        return false;
    Args args;
    if (!parse(*command, rest, &args)) {
        *error = QStringLiteral("%1 takes %2")
                     .arg(QLatin1String(command->name), *command->arguments
                                                            ? QLatin1String(command->arguments)
                                                            : QLatin1String("no arguments"));
        return false;
    }
    *answer = command->run(model, args);
    return true;
}

bool runCommand(Bench &bench, const QByteArray &line, Value *answer, QString *error)
{
    int number = 0;
    QByteArray command;
    if (!splitAddress(line, &number, &command, error))
        return false;
    std::optional<QByteArray> rest;
    const Command *row = lookUp(command, &rest, error);
    if (!row)
        return false;
    if (number || !row->everyInstrument)
        return runCommand(*bench.instrument(number ? number : 1), command, answer, error);
    // The arguments are checked on the first, so a refusal leaves every one as it was.
    for (Model &m : bench.instruments) {
        if (!runCommand(m, command, answer, error))
            return false;
    }
    return true;
}

bool answers(const QByteArray &line, Answer kind, QString *error)
{
    static const char *const kinds[] = {"nothing", "a number", "bytes", "a list"};
    int number = 0;
    QByteArray unaddressed;
    if (!splitAddress(line, &number, &unaddressed, error))
        return false;
    std::optional<QByteArray> rest;
    const Command *command = lookUp(unaddressed, &rest, error);
    if (command && command->answer != kind) {
        *error = QStringLiteral("%1 answers %2, not %3")
                     .arg(QLatin1String(command->name), QLatin1String(kinds[int(command->answer)]),
                          QLatin1String(kinds[int(kind)]));
    }
    return command && command->answer == kind;
}

} // namespace zelsim
