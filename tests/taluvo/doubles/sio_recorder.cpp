#include "sio_recorder.h"

#include <mutex>

namespace
{

std::mutex g_lock;

NTSTATUS DataCallback(struct sio_device* sio)
{
    bool drain;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        doubles::SioState().callbacks[sio]++;
        drain = doubles::SioState().drain;
    }
    if (!drain)
        return STATUS_SUCCESS;
    while ((sio->fops->poll(&sio->file, nullptr) & (SIO_POLL_IN | SIO_POLL_RDNORM)) != 0) {
        u8 buffer[0x10000];
        SSIZE_T n = sio->fops->read(&sio->file, buffer, sizeof(buffer));
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> hold(g_lock);
        std::vector<u8>& received = doubles::SioState().received[sio];
        received.insert(received.end(), buffer, buffer + n);
    }
    return STATUS_SUCCESS;
}

} // namespace

doubles::Sio& doubles::SioState()
{
    static Sio state;
    return state;
}

int doubles::SioCallbacks(const struct sio_device* sio)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = SioState().callbacks.find(sio);
    return found != SioState().callbacks.end() ? found->second : 0;
}

std::vector<u8> doubles::SioReceived(const struct sio_device* sio)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = SioState().received.find(sio);
    return found != SioState().received.end() ? found->second : std::vector<u8>();
}

size_t doubles::SioWriteAll(struct sio_device* sio, const u8* data, size_t length, int attempts)
{
    size_t written = 0;
    for (int refused = 0; written < length && refused < attempts;) {
        SSIZE_T n = sio->fops->write(&sio->file, data + written, length - written);
        if (n > 0) {
            written += (size_t)n;
            refused = 0;
        } else {
            refused++;
        }
    }
    return written;
}

extern "C" int __wrap_sio_add(struct sio_device* sio, u32 minor, u32 value)
{
    std::lock_guard<std::mutex> hold(g_lock);
    doubles::Sio& state = doubles::SioState();
    state.added.push_back(sio);
    if (state.add_result != 0)
        return state.add_result;
    sio->devt = minor;
    sio->sio_arg = value;
    sio->file.f_flags |= SIO_F_NONBLOCK;
    sio->data_callback = DataCallback;
    sio->callback_context = sio;
    sio->callback_arg = 0;
    sio->self_ref = sio;
    return 0;
}

extern "C" void __wrap_sio_delete(struct sio_device* sio)
{
    std::lock_guard<std::mutex> hold(g_lock);
    doubles::SioState().deleted.push_back(sio);
}
