// A few threads that share the arithmetic of each chunk: the caller's
// thread is the first member, and every member runs the same job on its own
// part at once. Nothing but the arithmetic runs on them: reading, writing
// and every message stay on the caller's thread.
#pragma once

#include <pthread.h>

namespace combine {

inline constexpr unsigned max_members = 4;

using Team_Job = void (*)(unsigned member, void* context);

struct Team {
    unsigned members;
    pthread_t threads[max_members];
    pthread_mutex_t lock;
    pthread_cond_t started, finished;
    unsigned long round; // counts the jobs given, so that each is taken once
    unsigned busy;       // members other than the caller still at the job
    Team_Job job;        // null: stop
    void* context;
};

// Up to `wanted` members (at most max_members); fewer where the system
// gives fewer threads, down to the caller's alone.
void start_team(Team& team, unsigned wanted);
// job(m, context) for every member m, at once; returns when all are done.
void run_team(Team& team, Team_Job job, void* context);
void stop_team(Team& team);

} // namespace combine
