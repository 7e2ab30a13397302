#pragma once

#include "midi/midisink.h"

#include <QString>

#include <array>
#include <atomic>
#include <functional>
#include <mutex>

// The plug-in switch: which plug-in and program the unit has and which the
// source asked for, and the sequence that selects a plug-in, waits for it
// to load and then sends the program. The input side decides without locks;
// the rest runs on the router's worker and the GUI thread under one lock.
class PluginSwitch
{
public:
    static constexpr int pluginCount = 8;
    static QString pluginName(int index);

    // Sends composed messages to the unit: all or none.
    using Send = std::function<bool(const MidiSink::Message *, std::size_t)>;
    using Release = std::function<void()>;

    enum class Emit
    {
        None,
        Program,
        Switch,
        Loaded // a load ended without a switch or a program sent
    };
    struct Step
    {
        Emit what = Emit::None;
        int wait = 0; // ms, for a switch
    };
    enum class OnProgram
    {
        Forward, // the program goes out with the input, in its place
        Switch,  // loading is now on: the worker selects the plug-in
        Hold     // a load runs: its end sends what was asked for last
    };

    PluginSwitch();

    // The input thread's: lock-free.
    void requestPlugin(int plugin) { reqPlugin.store(plugin); }
    OnProgram requestProgram(int program);

    // The worker's and the GUI thread's.
    Step switchNow(int channel, const Send &send, const Release &release);
    Step programSent(int program);
    // After a request held during a load: the load may have ended before
    // it could see it.
    Step recheck(int channel, const Send &send, const Release &release);
    Step loadEnded(int channel, const Send &send, const Release &release);

    void setLoadingTime(int plugin, int ms) { loadingTimes[plugin].store(ms); }
    int loadingTime(int plugin) const { return loadingTimes[plugin].load(); }
    bool loading() const { return isLoadingPlugin.load(); }
    // Whether a selection of curPlugin is known to have reached the unit.
    bool known() const { return unitKnown.load(); }
    int currentPlugin() const { return curPlugin.load(); }
    int requestedPlugin() const { return reqPlugin.load(); }
    int currentProgram() const { return curProg.load(); }
    int requestedProgram() const { return reqProg.load(); }
    QString label() const;

private:
    Step switchLocked(int channel, const Send &send, const Release &release, bool wasLoading);
    bool sendProgram(int channel, int program, const Send &send);

    std::atomic<bool> isLoadingPlugin{false};
    std::atomic<bool> unitKnown{false};
    std::atomic<int> curPlugin{0};
    std::atomic<int> reqPlugin{0};
    std::atomic<int> curProg{0};
    std::atomic<int> reqProg{0};
    std::array<std::atomic<int>, pluginCount> loadingTimes{};
    std::mutex mutex;
};
