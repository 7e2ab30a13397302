#include "midi/pluginswitch.h"

#include "app/say.h"

namespace {

struct Plugin
{
    const char *name;
    int loadingTime; // ms
};

constexpr Plugin plugins[PluginSwitch::pluginCount] = {
    {"VARKONI", 2000}, {"TESSEL", 1500}, {"ORMALINE", 3000}, {"QUENDRA", 3000},
    {"BALTRIX", 2300}, {"ZOLA-7", 2100}, {"MERIDOX", 1900},  {"KAVOLINE", 1500},
};

constexpr unsigned char firstPluginProgram = 101;
constexpr unsigned char pluginSelectKey = 64;

} // namespace

PluginSwitch::PluginSwitch()
{
    for (int i = 0; i < pluginCount; ++i)
        loadingTimes[i] = plugins[i].loadingTime;
}

QString PluginSwitch::pluginName(int index)
{
    return index >= 0 && index < pluginCount ? QString::fromLatin1(plugins[index].name) : QString();
}

// fresh: for a Program Change just come. An unknown unit gets the plug-in
// asked for selected in full, but a source that never sends Bank Select only
// ever changes programs, on whatever plug-in the unit has. A load's end does
// not select again what went to no output: that waits for the next program.
bool PluginSwitch::needsSwitch(bool fresh) const
{
    return reqPlugin.load() != curPlugin.load() || (fresh && !unitKnown.load() && bankSeen.load());
}

PluginSwitch::OnProgram PluginSwitch::requestProgram(int program)
{
    reqProg.store(program);
    if (isLoadingPlugin.load())
        return OnProgram::Hold;
    if (!needsSwitch(true))
        return OnProgram::Forward;
    // Loading starts here, so what the input brings next is held back.
    return isLoadingPlugin.exchange(true) ? OnProgram::Hold : OnProgram::Switch;
}

bool PluginSwitch::sendProgram(const Unit &unit, int program)
{
    const unsigned char message[2] = {static_cast<unsigned char>(0xC0 + unit.channel()),
                                      static_cast<unsigned char>(program)};
    const MidiSink::Message m{message, 2};
    bool reached = false;
    if (unit.send(&m, 1, reached)) {
        curProg = program;
        return true;
    }
    // The label keeps showing the program the unit really has.
    say(QStringLiteral("Brantolex Fixer: program %1 could not be sent to the unit")
            .arg(program + 1));
    return false;
}

bool PluginSwitch::keep(const unsigned char *bytes, std::size_t size)
{
    if (!isLoadingPlugin.load())
        return false;
    const unsigned char type = bytes[0] & 0xF0;
    const int kind = type == 0xB0 ? bytes[1] : type == 0xD0 ? 128 : 129;
    if (!isKept[kind]) {
        isKept[kind] = true;
        keptOrder[keptCount++] = static_cast<unsigned char>(kind);
    }
    kept[kind] = {bytes[0], bytes[1], size > 2 ? bytes[2] : static_cast<unsigned char>(0)};
    return true;
}

// Right after the program, so the unit plays on with the sound and the
// controllers the source set while it loaded.
void PluginSwitch::sendKept(const Unit &unit)
{
    for (int i = 0; i < keptCount; ++i) {
        const int kind = keptOrder[i];
        isKept[kind] = false;
        const MidiSink::Message m{kept[kind].data(),
                                  std::size_t((kept[kind][0] & 0xF0) == 0xD0 ? 2 : 3)};
        bool reached = false;
        unit.send(&m, 1, reached);
    }
    keptCount = 0;
}

PluginSwitch::Step PluginSwitch::begin(const Unit &unit)
{
    return select(unit, false, true);
}

PluginSwitch::Step PluginSwitch::endLoad()
{
    isLoadingPlugin = false;
    return {Emit::Loaded, 0};
}

PluginSwitch::Step PluginSwitch::select(const Unit &unit, bool wasLoading, bool fresh)
{
    const int plugin = reqPlugin;
    if (!needsSwitch(fresh)) {
        // Asked back to what the unit has before the switch began: the
        // program only.
        const bool sent = sendProgram(unit, reqProg);
        sendKept(unit);
        const Step ended = endLoad();
        return wasLoading ? ended : Step{sent ? Emit::Program : Emit::None, 0};
    }
    // Notes sounding now would never get their Note Off: it is held back
    // while the plug-in loads.
    unit.release();
    const auto ch = static_cast<unsigned char>(unit.channel());
    const unsigned char select[2] = {static_cast<unsigned char>(0xC0 + ch),
                                     static_cast<unsigned char>(firstPluginProgram + plugin)};
    const unsigned char on[3] = {static_cast<unsigned char>(0x90 + ch), pluginSelectKey, 127};
    const unsigned char off[3] = {static_cast<unsigned char>(0x90 + ch), pluginSelectKey, 0};
    const MidiSink::Message messages[3] = {{select, 2}, {on, 3}, {off, 3}};
    bool reached = false;
    if (!unit.send(messages, 3, reached)) {
        // Nothing reached the unit: it keeps its plug-in, and the request
        // stands for the next Program Change.
        say(QStringLiteral("Brantolex Fixer: the plug-in %1 could not be selected on the unit")
                .arg(QLatin1String(plugins[plugin].name)));
        sendKept(unit);
        const Step ended = endLoad();
        return wasLoading ? ended : Step{};
    }
    curPlugin = plugin;
    // Sent to no output, the selection tells nothing of what the unit has.
    unitKnown = reached;
    return {Emit::Switch, loadingTimes[plugin].load()};
}

PluginSwitch::Step PluginSwitch::recheck(const Unit &unit)
{
    if (isLoadingPlugin)
        return {};
    if (needsSwitch(false)) {
        // The input may have claimed this switch itself meanwhile.
        if (isLoadingPlugin.exchange(true))
            return {};
        return select(unit, false, false);
    }
    if (reqProg == curProg)
        return {};
    return sendProgram(unit, reqProg) ? Step{Emit::Program, 0} : Step{};
}

PluginSwitch::Step PluginSwitch::loadEnded(const Unit &unit)
{
    if (needsSwitch(false))
        return select(unit, true, false);
    sendProgram(unit, reqProg);
    sendKept(unit);
    return endLoad();
}

QString PluginSwitch::label() const
{
    const int plugin = curPlugin;
    const int program = curProg;
    if (plugin >= 0 && plugin < pluginCount)
        return QString::fromLatin1(plugins[plugin].name) + QLatin1String(" - ") +
               QString::number(program + 1);
    return QString::number(program) + QLatin1String(": undefind plugin");
}
