#include "simmodel.h"
#include "simhex.h"

#include <algorithm>

namespace zelsim {

namespace {

constexpr int Sensors = 0;
constexpr int Terminal = 6;
constexpr int Mainboard = 7;

int defaultVersion(int part)
{
    if (part == Mainboard)
        return 31;
    if (part == Terminal)
        return 22;
    return 17;
}

bool isBoard(int part)
{
    return part >= 1 && part <= BoardCount;
}

} // namespace

void Model::reset()
{
    const quint64 next = generation + 1;
    const int place = number;
    // The first instrument is back where it started, as hidraw0; had it been that
    // all along, its node stays: a reset is no replug.
    const int kept = number == 1 && attached && node == 0 ? 0 : -1;
    *this = Model();
    generation = next;
    number = place;
    attached = number == 1;
    node = kept;
    for (int p = 1; p <= BoardCount; ++p) {
        boards[p].part = p;
        boards[p].version = defaultVersion(p);
    }
}

Board *Model::board(int part)
{
    return isBoard(part) ? &boards[part] : nullptr;
}

const Board *Model::board(int part) const
{
    return isBoard(part) ? &boards[part] : nullptr;
}

void Model::tick()
{
    if (restarting && Clock::now() >= backAt) {
        restarting = false;
        attached = true;
    }
}

void Model::disappear()
{
    attached = false;
    restarting = false;
    node = -1;
    ++generation;
    // Input reports the host had not fetched die with the device.
    answers.clear();
}

bool Model::present()
{
    tick();
    return attached;
}

bool Model::alive(quint64 appearance)
{
    return present() && appearance == generation;
}

void Model::write(const unsigned char *data, size_t length)
{
    written.append(QByteArray(reinterpret_cast<const char *>(data), int(length)));
    // Byte 0 is the report id (0, unnumbered reports); the report's data follow.
    if (length > 1)
        receiveReport(data + 1, int(std::min(length - 1, size_t(ReportSize))));
}

QByteArray Model::takeInputReport(Clock::time_point asOf)
{
    if (!present())
        return QByteArray();
    if (!injected.empty()) {
        const QByteArray report = injected.front().second;
        injected.pop_front();
        return report;
    }
    QByteArray report;
    while (report.size() + 3 <= ReportSize && !answers.empty() && answers.front().due <= asOf) {
        report += answers.front().bytes;
        answers.pop_front();
    }
    if (!report.isEmpty())
        report.append(ReportSize - report.size(), '\0');
    return report;
}

std::optional<Clock::time_point> Model::inputDue() const
{
    if (!injected.empty())
        return injected.front().first;
    if (!answers.empty())
        return answers.front().due;
    return std::nullopt;
}

void Model::receiveReport(const unsigned char *data, int size)
{
    int k = 0;
    while (k < size && attached) {
        const quint8 command = data[k];
        int length = 0;
        switch (command) {
        case 0x01:
        case 0x02:
        case 0x05:
            length = 2;
            break;
        case 0x04:
            length = 3;
            break;
        case 0x03:
            length = k + 2 < size ? 3 + data[k + 2] : size + 1;
            break;
        default:
            return; // zero padding or a command the instrument does not know
        }
        if (k + length > size)
            return; // a message cut off by the end of the report is not acted on
        const QByteArray message(reinterpret_cast<const char *>(data + k), length);
        k += length;
        decoded.append(message);
        // A copy, so that a hook may replace itself or reset the instrument.
        const auto check = hook;
        if (check && !check(message))
            continue;
        dispatch(message);
    }
}

void Model::dispatch(const QByteArray &message)
{
    const int part = quint8(message.at(1));
    switch (quint8(message.at(0))) {
    case 0x01:
        onVersion(part);
        break;
    case 0x02:
        onStart(part);
        break;
    case 0x03:
        onData(part, message.mid(3));
        break;
    case 0x04:
        onEnd(part, quint8(message.at(2)));
        break;
    case 0x05:
        onRestart(part);
        break;
    }
}

void Model::queueAnswer(Board &b, char command, char value)
{
    QByteArray bytes(3, '\0');
    bytes[0] = command;
    bytes[1] = char(b.answerAs >= 0 ? b.answerAs : b.part);
    bytes[2] = value;
    const DueAnswer a{Clock::now() + std::chrono::milliseconds(answerLatencyMs), bytes};
    answers.push_back(a);
    if (b.duplicateAcks)
        answers.push_back(a);
}

bool Model::goesSilent(Board &b, Step step, int line)
{
    if (b.silent)
        return true;
    if (b.silentArmed && b.silentStep == step && (step != Step::Data || line >= b.silentLine))
        b.silent = true;
    return b.silent;
}

void Model::onVersion(int part)
{
    const auto answer = [this](Board &b) {
        if (!b.present || goesSilent(b, Step::Version))
            return;
        if (b.updated && goesSilent(b, Step::VersionAfterUpdate))
            return;
        queueAnswer(b, 0x01, char(b.version));
    };
    if (part == Sensors) {
        for (int p = 1; p <= 5; ++p)
            answer(boards[p]);
    } else if (Board *b = board(part)) {
        answer(*b);
    }
}

void Model::onStart(int part)
{
    Board *b = board(part);
    if (!b || !b->present || goesSilent(*b, Step::Start))
        return;
    dataLinesSinceStart = 0;
    if (b->refuseStart) {
        queueAnswer(*b, 0x02, 0);
        return;
    }
    b->mode = Mode::Update;
    b->received.clear();
    b->linesSinceStart = 0;
    b->lastWasEof = false;
    queueAnswer(*b, 0x02, 1);
}

void Model::dataToBoard(Board &b, const QByteArray &line, bool group)
{
    if (!b.present)
        return;
    if (b.mode != Mode::Update) {
        // A board outside update mode ignores the group address but says no
        // when addressed on its own.
        if (!group && !goesSilent(b, Step::Data, b.linesSinceStart))
            queueAnswer(b, 0x03, 0);
        return;
    }
    const int index = b.linesSinceStart;
    if (goesSilent(b, Step::Data, index))
        return;
    ++b.linesSinceStart;
    const hex::Record r = hex::parseLine(line);
    if (index == b.rejectLine || !r.valid) {
        queueAnswer(b, 0x03, 0);
        return;
    }
    b.received += line;
    b.lastWasEof = r.type == 0x01;
    queueAnswer(b, 0x03, 1);
}

void Model::onData(int part, const QByteArray &line)
{
    if (part == Sensors) {
        for (int p = 1; p <= 5; ++p)
            dataToBoard(boards[p], line, true);
    } else if (Board *b = board(part)) {
        dataToBoard(*b, line, false);
    }
    const int index = dataLinesSinceStart++;
    if (unplugLine >= 0 && index == unplugLine) {
        unplugLine = -1;
        disappear();
    }
}

void Model::onEnd(int part, quint8 checksum)
{
    Board *b = board(part);
    if (!b || !b->present || goesSilent(*b, Step::End))
        return;
    if (b->mode != Mode::Update || b->rejectEnd || !b->lastWasEof ||
        hex::fileChecksum(b->received) != checksum) {
        queueAnswer(*b, 0x04, 0);
        return;
    }
    b->installed = b->received;
    b->mode = Mode::Normal;
    b->updated = true;
    if (b->versionAfterUpdate >= 0) {
        b->version = b->versionAfterUpdate;
    } else {
        const int v = hex::imageVersion(b->installed);
        if (v >= 0)
            b->version = v;
    }
    queueAnswer(*b, 0x04, 1);
}

void Model::onRestart(int part)
{
    // Only the main board restarts on request; it carries the USB interface,
    // so the whole device drops off the bus until it has booted again.
    Board *b = board(part);
    if (part != Mainboard || !b->present || b->silent)
        return;
    b->mode = Mode::Normal;
    b->linesSinceStart = 0;
    ++restarts;
    disappear();
    restarting = true;
    backAt = Clock::now() + std::chrono::milliseconds(restartDelayMs);
}

Bench::Bench()
{
    for (int i = 0; i < InstrumentCount; ++i)
        instruments[i].number = i + 1;
    reset();
}

void Bench::reset()
{
    for (Model &m : instruments)
        m.reset();
}

Model *Bench::instrument(int number)
{
    return number >= 1 && number <= InstrumentCount ? &instruments[number - 1] : nullptr;
}

void Bench::assignNodes(const std::function<bool(int)> &taken)
{
    for (Model &m : instruments) {
        if (!m.present() || m.node >= 0)
            continue;
        for (int n = 0;; ++n) {
            const bool held = std::any_of(std::begin(instruments), std::end(instruments),
                                          [n](const Model &o) { return o.node == n; });
            if (!held && !(taken && taken(n))) {
                m.node = n;
                break;
            }
        }
    }
}

} // namespace zelsim
