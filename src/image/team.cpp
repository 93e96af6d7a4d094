#include "team.h"

#include <algorithm>
#include <sched.h>

namespace img {

namespace {

extern "C" void* work(void* argument)
{
    auto* m = static_cast<Member*>(argument);
    Team& team = *m->team;
    pthread_mutex_lock(&team.lock);
    unsigned long seen = 0; // the round before any job
    for (;;) {
        while (team.round == seen)
            pthread_cond_wait(&team.started, &team.lock);
        seen = team.round;
        if (team.job == nullptr)
            break;
        if (team.closed == seen) // the work is done already
            continue;
        ++team.busy;
        pthread_mutex_unlock(&team.lock);
        team.job(m->index, team.context);
        pthread_mutex_lock(&team.lock);
        if (--team.busy == 0)
            pthread_cond_signal(&team.finished);
    }
    pthread_mutex_unlock(&team.lock);
    return nullptr;
}

} // namespace

void start_team(Team& team, unsigned wanted)
{
    team.members = 1;
    team.round = 0;
    team.closed = 0;
    team.busy = 0;
    team.job = nullptr;
    pthread_mutex_init(&team.lock, nullptr);
    pthread_cond_init(&team.started, nullptr);
    pthread_cond_init(&team.finished, nullptr);
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        wanted = std::min(wanted, static_cast<unsigned>(CPU_COUNT(&set)));
    wanted = std::min(std::max(wanted, 1u), max_members);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    // The arithmetic needs little stack; the default 8 MiB would take a
    // quarter of the 32 MiB address space the tools stay within.
    pthread_attr_setstacksize(&attributes, 1 << 20);
    for (unsigned m = 1; m < wanted; ++m) {
        team.member[m] = {&team, m};
        if (pthread_create(&team.threads[m], &attributes, work, &team.member[m]) != 0)
            break;
        team.members = m + 1;
    }
    pthread_attr_destroy(&attributes);
}

void run_team(Team& team, Team_Job job, void* context)
{
    pthread_mutex_lock(&team.lock);
    team.job = job;
    team.context = context;
    ++team.round;
    pthread_cond_broadcast(&team.started);
    pthread_mutex_unlock(&team.lock);
    job(0, context);
    pthread_mutex_lock(&team.lock);
    team.closed = team.round;
    while (team.busy > 0)
        pthread_cond_wait(&team.finished, &team.lock);
    pthread_mutex_unlock(&team.lock);
}

void stop_team(Team& team)
{
    pthread_mutex_lock(&team.lock);
    team.job = nullptr;
    ++team.round;
    pthread_cond_broadcast(&team.started);
    pthread_mutex_unlock(&team.lock);
    for (unsigned m = 1; m < team.members; ++m)
        pthread_join(team.threads[m], nullptr);
    pthread_mutex_destroy(&team.lock);
    pthread_cond_destroy(&team.started);
    pthread_cond_destroy(&team.finished);
}

} // namespace img
