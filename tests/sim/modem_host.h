// The host side of the modem's tests: the modem's two windows mapped as a driver maps them, its
// interrupts connected to counting service routines, and the translation programmed as the driver's
// set-up does.
#pragma once

#include <gtest/gtest.h>

#include <host/host.h>
#include <host/interrupt.h>
#include <wdm.h>

#include <array>
#include <atomic>
#include <functional>

#include "sim/modem/modem.h"

namespace modemtest {

using namespace sim::modem;
using sim::pci::InterruptMode;

constexpr LONGLONG Us(LONGLONG us) { return us * 10; }
using sim::modem::Milliseconds;

inline ModemConfig Config(InterruptMode interrupts, ULONG messages = kMaxMessages,
                          sim::pci::ExecutionMode execution = sim::pci::ExecutionMode::Threaded)
{
    ModemConfig config;
    config.interrupts = interrupts;
    config.messages = messages;
    config.execution = execution;
    return config;
}

class Host {
public:
    explicit Host(Board& board) : board_(board)
    {
        mac_ = Map(kBarMac, kMacWindowSize);
        window_ = Map(kBarWindow, kModemWindowSize);
    }

    ~Host()
    {
        for (host::Interrupt* interrupt : interrupts_)
            if (interrupt != nullptr)
                host::InterruptDisconnect(interrupt);
        MmUnmapIoSpace(const_cast<ULONG*>(mac_), kMacWindowSize);
        MmUnmapIoSpace(const_cast<ULONG*>(window_), kModemWindowSize);
    }

    ULONG Mac(ULONG offset) const { return READ_REGISTER_ULONG(mac_ + offset / 4); }
    void Mac(ULONG offset, ULONG value) { WRITE_REGISTER_ULONG(mac_ + offset / 4, value); }
    ULONG Window(ULONG64 offset) const { return READ_REGISTER_ULONG(window_ + offset / 4); }
    void Window(ULONG64 offset, ULONG value) { WRITE_REGISTER_ULONG(window_ + offset / 4, value); }
    ULONG Doorbell(ULONG offset) const { return Window(kMhccifOffset + offset); }
    void Doorbell(ULONG offset, ULONG value) { Window(kMhccifOffset + offset, value); }

    // Entry (port, table), written as the driver writes it: word 0, with the enable bit, last.
    void Translate(ULONG port, ULONG table, ULONG64 source, ULONG64 translated, ULONG sizeCode)
    {
        const ULONG at = mac::AtrEntry(port, table);
        Mac(at + 0x04, static_cast<ULONG>(source >> 32));
        Mac(at + 0x08, static_cast<ULONG>(translated) & 0xFFFFF000);
        Mac(at + 0x0C, static_cast<ULONG>(translated >> 32));
        Mac(at + 0x10, 4);
        Mac(at, (static_cast<ULONG>(source) & 0xFFFFF000) | sizeCode << 1 | 1);
    }
    // The driver's set-up: the modem window at kModemWindowBase, the modem's DMA on ports 2-4.
    void ProgramTranslation()
    {
        Translate(0, 0, board_.function.BarAddress(kBarWindow), kModemWindowBase, 21);
        for (ULONG port = 2; port <= 4; port++)
            Translate(port, 0, 0, 0, mac::kAtrTransparent);
    }

    // Connects every message (or the line) to a service routine that counts its runs and calls
    // `onInterrupt` with the message number and this host.
    void Connect(std::function<void(Host&, ULONG message)> onInterrupt = {})
    {
        onInterrupt_ = std::move(onInterrupt);
        sim::pci::Function& f = board_.function;
        interrupts_.resize(f.MessageCount(), nullptr);
        contexts_.resize(f.MessageCount());
        for (ULONG m = 0; m < f.MessageCount(); m++) {
            contexts_[m] = {this, m};
            host::InterruptConnection connection;
            connection.vector = f.Vector(m);
            connection.service = Service;
            connection.context = &contexts_[m];
            ASSERT_EQ(STATUS_SUCCESS, host::InterruptConnect(connection, &interrupts_[m]));
        }
    }

    int Runs(ULONG message) const { return runs_[message].load(); }
    int TotalRuns() const
    {
        int total = 0;
        for (const auto& runs : runs_)
            total += runs.load();
        return total;
    }

private:
    struct Context {
        Host* host;
        ULONG message;
    };

    volatile ULONG* Map(ULONG bar, ULONG64 size)
    {
        PHYSICAL_ADDRESS address;
        address.QuadPart = static_cast<LONGLONG>(board_.function.BarAddress(bar));
        return static_cast<volatile ULONG*>(MmMapIoSpaceEx(address, size, PAGE_READWRITE | PAGE_NOCACHE));
    }

    static BOOLEAN Service(host::Interrupt*, PVOID context)
    {
        auto* c = static_cast<Context*>(context);
        c->host->runs_[c->message]++;
        if (c->host->onInterrupt_)
            c->host->onInterrupt_(*c->host, c->message);
        return TRUE;
    }

    Board& board_;
    volatile ULONG* mac_ = nullptr;
    volatile ULONG* window_ = nullptr;
    std::vector<host::Interrupt*> interrupts_;
    std::vector<Context> contexts_;
    std::array<std::atomic<int>, kMaxMessages> runs_{};
    std::function<void(Host&, ULONG)> onInterrupt_;
};

} // namespace modemtest
