// The process's trace sink: per-image rings of recent lines, subscribers and optional printing.
#include <host/trace.h>

#include <host/format.h>
#include <host/image.h>
#include <wdm.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace host {
namespace {

// Slots are reused once the ring is full, so a steady stream of lines does not allocate.
struct Ring {
    std::vector<TraceLine> slots;
    size_t oldest = 0; // index of the oldest line once the ring is full

    std::vector<TraceLine> Ordered() const
    {
        std::vector<TraceLine> lines(slots.begin() + oldest, slots.end());
        lines.insert(lines.end(), slots.begin(), slots.begin() + oldest);
        return lines;
    }
};

struct Subscription {
    int id;
    std::shared_ptr<TraceSubscriber> subscriber;
};

struct Sink {
    std::mutex lock;
    std::unordered_map<const Image*, Ring> rings;
    size_t ringSize = 4096;
    ULONG64 sequence = 0;
    std::vector<Subscription> subscriptions;
    int nextId = 1;
    std::atomic<bool> subscribed{false};
    std::atomic<UCHAR> printLevel{0};

    Sink() { ReadEnvironment(); }

    void ReadEnvironment()
    {
        const char* value = getenv("WWAN_TRACE");
        long level = value ? strtol(value, nullptr, 10) : 0;
        if (level == 1)
            level = 5; // "on": every level up to verbose
        printLevel.store(static_cast<UCHAR>(std::clamp(level, 0L, 255L)));
    }
};

Sink& TheSink()
{
    static Sink* sink = new Sink; // lives until exit: lines arrive from any thread
    return *sink;
}

void Print(const TraceLine& line)
{
    const std::string& image = line.image ? ImageName(line.image) : std::string();
    fprintf(stderr, "[%12.6f] %s %s L%u %s%s%s\n", line.time / 1e7, image.c_str(), TraceStreamName(line.stream),
            line.level, line.function.c_str(), line.function.empty() ? "" : ": ", line.text.c_str());
}

} // namespace

const char* TraceStreamName(TraceStream stream)
{
    switch (stream) {
    case TraceStream::Wpp: return "wpp";
    case TraceStream::DbgPrint: return "debug";
    case TraceStream::Etw: return "etw";
    }
    return "?";
}

void TraceWrite(Image* image, TraceStream stream, UCHAR level, ULONG flags, const char* function,
                std::string_view text)
{
    Sink& sink = TheSink();
    LONGLONG time = static_cast<LONGLONG>(KeQueryInterruptTime()); // before our lock: it takes the clock's
    bool print = sink.printLevel.load(std::memory_order_relaxed) >= std::max<UCHAR>(level, 1);
    bool deliver = sink.subscribed.load(std::memory_order_acquire);
    TraceLine copy;
    std::vector<Subscription> subscriptions;
    {
        std::lock_guard<std::mutex> guard(sink.lock);
        Ring& ring = sink.rings[image];
        TraceLine* slot;
        if (ring.slots.size() < sink.ringSize) {
            slot = &ring.slots.emplace_back();
        } else {
            slot = &ring.slots[ring.oldest];
            ring.oldest = (ring.oldest + 1) % ring.slots.size();
        }
        slot->sequence = ++sink.sequence;
        slot->time = time;
        slot->image = image;
        slot->stream = stream;
        slot->level = level;
        slot->flags = flags;
        slot->function.assign(function ? function : "");
        slot->text.assign(text);
        if (print || deliver)
            copy = *slot;
        if (deliver)
            subscriptions = sink.subscriptions;
    }
    if (print)
        Print(copy);
    for (const Subscription& subscription : subscriptions)
        (*subscription.subscriber)(copy);
}

void TraceWriteV(Image* image, TraceStream stream, UCHAR level, ULONG flags, const char* function, bool wpp,
                 const char* format, va_list args)
{
    FormatOptions options{.wpp = wpp, .function = function};
    char stack[512];
    size_t length = FormatV(stack, sizeof(stack), format, args, options);
    if (length == kFormatRefused) {
        std::string text = "<bad format> ";
        text += format ? format : "(null)";
        TraceWrite(image, stream, level, flags, function, text);
    } else if (length < sizeof(stack)) {
        TraceWrite(image, stream, level, flags, function, std::string_view(stack, length));
    } else {
        std::string text(length, '\0');
        FormatV(text.data(), length + 1, format, args, options);
        TraceWrite(image, stream, level, flags, function, text);
    }
}

std::vector<TraceLine> TraceSnapshot(const Image* image)
{
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    if (image != nullptr) {
        auto found = sink.rings.find(image);
        return found == sink.rings.end() ? std::vector<TraceLine>() : found->second.Ordered();
    }
    std::vector<TraceLine> lines;
    for (auto& [owner, ring] : sink.rings)
        lines.insert(lines.end(), ring.slots.begin(), ring.slots.end());
    std::sort(lines.begin(), lines.end(),
              [](const TraceLine& a, const TraceLine& b) { return a.sequence < b.sequence; });
    return lines;
}

std::vector<TraceLine> TraceFind(std::string_view substring, const Image* image)
{
    std::vector<TraceLine> lines = TraceSnapshot(image);
    std::erase_if(lines, [&](const TraceLine& line) { return line.text.find(substring) == std::string::npos; });
    return lines;
}

std::vector<TraceLine> TraceMatch(const std::regex& pattern, const Image* image)
{
    std::vector<TraceLine> lines = TraceSnapshot(image);
    std::erase_if(lines, [&](const TraceLine& line) { return !std::regex_search(line.text, pattern); });
    return lines;
}

void TraceClear(const Image* image)
{
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    if (image == nullptr)
        sink.rings.clear();
    else
        sink.rings.erase(image);
}

void TraceSetRingSize(size_t lines)
{
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    sink.ringSize = std::max<size_t>(lines, 1);
    for (auto& [owner, ring] : sink.rings) {
        std::vector<TraceLine> ordered = ring.Ordered();
        if (ordered.size() > sink.ringSize)
            ordered.erase(ordered.begin(), ordered.end() - sink.ringSize);
        ring.slots = std::move(ordered);
        ring.oldest = 0;
    }
}

size_t TraceRingSize()
{
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    return sink.ringSize;
}

int TraceSubscribe(TraceSubscriber subscriber)
{
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    int id = sink.nextId++;
    sink.subscriptions.push_back({id, std::make_shared<TraceSubscriber>(std::move(subscriber))});
    sink.subscribed.store(true, std::memory_order_release);
    return id;
}

void TraceUnsubscribe(int id)
{
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    std::erase_if(sink.subscriptions, [id](const Subscription& s) { return s.id == id; });
    sink.subscribed.store(!sink.subscriptions.empty(), std::memory_order_release);
}

void TraceSetPrintLevel(UCHAR level) { TheSink().printLevel.store(level); }
UCHAR TracePrintLevel() { return TheSink().printLevel.load(); }
void TraceReadEnvironment() { TheSink().ReadEnvironment(); }

} // namespace host
