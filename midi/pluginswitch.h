#pragma once

#include "midi/midisink.h"

#include <QString>

#include <array>
#include <atomic>
#include <functional>

// The plug-in switch: which plug-in and program the unit has and which the
// source asked for, and the sequence that selects a plug-in, waits for it
// to load and then sends the program. The input decides without locks
// whether a Program Change needs a switch; everything else is the router
// worker's alone, which publishes its state through the atomics below.
class PluginSwitch
{
public:
    static constexpr int pluginCount = 8;
    static QString pluginName(int index);

    // How the worker reaches the unit. send: composed messages, all or none;
    // false when refused. reached: whether an output took them at all.
    struct Unit
    {
        std::function<bool(const MidiSink::Message *, std::size_t, bool &reached)> send;
        std::function<void()> release;
        std::function<int()> channel;
    };

    enum class Emit
    {
        None,
        Program,
        Switch,
        Loaded // a load ended
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
    void requestPlugin(int plugin)
    {
        reqPlugin.store(plugin);
        bankSeen.store(true);
    }
    OnProgram requestProgram(int program);
    // After the input forwarded a program in its place.
    void programForwarded(int program) { curProg.store(program); }

    // The worker's. begin: the input claimed a switch. recheck: a request
    // came while a load ran, and its end may have missed it.
    Step begin(const Unit &unit);
    Step recheck(const Unit &unit);
    Step loadEnded(const Unit &unit);
    // A controller, pitch bend or channel pressure that came during a load:
    // its latest value goes out right after the program. False when the load
    // had already ended: the caller sends it now.
    bool keep(const unsigned char *bytes, std::size_t size);
    // The unit's port went: what it has loaded now is anyone's guess. True
    // when it was known until now.
    bool forgetUnit() { return unitKnown.exchange(false); }

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
    bool needsSwitch(bool fresh) const;
    Step select(const Unit &unit, bool wasLoading, bool fresh);
    bool sendProgram(const Unit &unit, int program);
    void sendKept(const Unit &unit);
    Step endLoad();

    std::atomic<bool> isLoadingPlugin{false};
    std::atomic<bool> unitKnown{false};
    std::atomic<bool> bankSeen{false};
    std::atomic<int> curPlugin{0};
    std::atomic<int> reqPlugin{0};
    std::atomic<int> curProg{0};
    std::atomic<int> reqProg{0};
    std::array<std::atomic<int>, pluginCount> loadingTimes{};

    // The worker's: the latest value of each controller (128), of channel
    // pressure and of pitch bend kept during a load, in the order each
    // first came.
    static constexpr int keptKinds = 130;
    std::array<std::array<unsigned char, 3>, keptKinds> kept{};
    std::array<unsigned char, keptKinds> keptOrder{};
    std::array<bool, keptKinds> isKept{};
    int keptCount = 0;
};
