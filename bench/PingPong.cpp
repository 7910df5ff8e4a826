#include "PingPong.h"

#include "PlainSocket.h"

#include <pthread.h>
#include <sched.h>

#include <thread>
#include <vector>

namespace {

/// The cores this process may run on.
std::vector<int> usableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cores;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set))
                cores.push_back(cpu);
        }
    }
    return cores;
}

void pinTo(std::thread &thread, int core)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    pthread_setaffinity_np(thread.native_handle(), sizeof set, &set);
}

} // namespace

Samples PingPong::run(Placement placement, int requestBytes, int answerBytes, int maxCalls,
                      int maxMs)
{
    const std::vector<int> cores = usableCores();
    if (cores.empty() || (placement == TwoCores && cores.size() < 2))
        return Samples();
    const PlainSocket listener = PlainSocket::listenLoopback();
    PlainSocket caller = PlainSocket::connectTo(listener.localPort());
    PlainSocket answerer = listener.accept();
    if (!caller.isValid() || !answerer.isValid())
        return Samples();

    // The answering side runs until the caller closes its end.
    std::thread echo([&answerer, requestBytes, answerBytes] {
        QByteArray request(requestBytes, '\0');
        const QByteArray answer(answerBytes, 'a');
        while (answerer.receiveAll(request.data(), requestBytes) && answerer.sendAll(answer)) {
        }
    });
    // The calling side on a thread of its own too, so that pinning it leaves
    // the main thread (and every thread it starts later) alone.
    Samples samples;
    std::thread calling([&] {
        const QByteArray request(requestBytes, 'r');
        QByteArray answer(answerBytes, '\0');
        samples = Samples::run(maxCalls, maxMs, [&] {
            return caller.sendAll(request) && caller.receiveAll(answer.data(), answerBytes);
        });
        caller.shutdownWrite();
    });
    pinTo(echo, cores.front());
    pinTo(calling, placement == SameCore ? cores.front() : cores.back());
    calling.join();
    echo.join();
    return samples;
}
