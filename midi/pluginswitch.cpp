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

PluginSwitch::OnProgram PluginSwitch::requestProgram(int program)
{
    reqProg.store(program);
    if (isLoadingPlugin.load())
        return OnProgram::Hold;
    if (reqPlugin.load() == curPlugin.load())
        return OnProgram::Forward;
    // Loading starts here, so what the input brings next is held back.
    return isLoadingPlugin.exchange(true) ? OnProgram::Hold : OnProgram::Switch;
}

bool PluginSwitch::sendProgram(int channel, int program, const Send &send)
{
    const unsigned char message[2] = {static_cast<unsigned char>(0xC0 + channel),
                                      static_cast<unsigned char>(program)};
    const MidiSink::Message m{message, 2};
    if (send(&m, 1))
        return true;
    // The label keeps showing the program the unit really has.
    say(QStringLiteral("Brantolex Fixer: program %1 could not be sent to the unit")
            .arg(program + 1));
    return false;
}

PluginSwitch::Step PluginSwitch::switchNow(int channel, const Send &send, const Release &release)
{
    std::lock_guard<std::mutex> lock(mutex);
    return switchLocked(channel, send, release, false);
}

PluginSwitch::Step PluginSwitch::switchLocked(int channel, const Send &send, const Release &release,
                                              bool wasLoading)
{
    const int program = reqProg;
    const int plugin = reqPlugin;
    if (curPlugin == plugin) {
        const bool sent = sendProgram(channel, program, send);
        if (sent)
            curProg = program;
        if (isLoadingPlugin.exchange(false) && wasLoading)
            return {Emit::Loaded, 0};
        return {sent ? Emit::Program : Emit::None, 0};
    }
    isLoadingPlugin = true;
    // Notes sounding now would never get their Note Off: it is held back
    // while the plug-in loads.
    release();
    const auto ch = static_cast<unsigned char>(channel);
    const unsigned char select[2] = {static_cast<unsigned char>(0xC0 + ch),
                                     static_cast<unsigned char>(firstPluginProgram + plugin)};
    const unsigned char on[3] = {static_cast<unsigned char>(0x90 + ch), pluginSelectKey, 127};
    const unsigned char off[3] = {static_cast<unsigned char>(0x90 + ch), pluginSelectKey, 0};
    const MidiSink::Message messages[3] = {{select, 2}, {on, 3}, {off, 3}};
    if (!send(messages, 3)) {
        // Nothing reached the unit: it keeps its plug-in, and the request
        // stands for the next Program Change.
        isLoadingPlugin = false;
        say(QStringLiteral("Brantolex Fixer: the plug-in %1 could not be selected on the unit")
                .arg(QLatin1String(plugins[plugin].name)));
        return {wasLoading ? Emit::Loaded : Emit::None, 0};
    }
    curPlugin = plugin;
    unitKnown = true;
    return {Emit::Switch, loadingTimes[plugin].load()};
}

PluginSwitch::Step PluginSwitch::programSent(int program)
{
    std::lock_guard<std::mutex> lock(mutex);
    curProg = program;
    return {Emit::Program, 0};
}

PluginSwitch::Step PluginSwitch::recheck(int channel, const Send &send, const Release &release)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (isLoadingPlugin)
        return {};
    if (reqPlugin != curPlugin)
        return switchLocked(channel, send, release, false);
    if (reqProg == curProg)
        return {};
    const int program = reqProg;
    if (!sendProgram(channel, program, send))
        return {};
    curProg = program;
    return {Emit::Program, 0};
}

PluginSwitch::Step PluginSwitch::loadEnded(int channel, const Send &send, const Release &release)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (reqPlugin != curPlugin)
        return switchLocked(channel, send, release, true);
    const int program = reqProg;
    if (sendProgram(channel, program, send))
        curProg = program;
    isLoadingPlugin = false;
    return {Emit::Loaded, 0};
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
