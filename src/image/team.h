// A few threads that share the work of each chunk: the caller's thread is
// the first member, and every member runs the same job at once, each taking
// the next piece of work left until none is (so a member the system does
// not run soon leaves its share to the others). Every message, and every
// read or write whose order matters, stays on the caller's thread.
#pragma once

#include <pthread.h>

namespace img {

inline constexpr unsigned max_members = 4;

using Team_Job = void (*)(unsigned member, void* context);

struct Team;

// A thread's place in its team.
struct Member {
    Team* team;
    unsigned index;
};

struct Team {
    unsigned members;
    pthread_t threads[max_members];
    Member member[max_members];
    pthread_mutex_t lock;
    pthread_cond_t started, finished;
    unsigned long round;  // counts the jobs given, so that each is taken once
    unsigned long closed; // the last job the caller has finished its part of
    unsigned busy;        // members other than the caller still at the job
    Team_Job job;        // null: stop
    void* context;
};

// Up to `wanted` members (at most max_members, and no more than the
// processors this process may run on); fewer where the system gives fewer
// threads, down to the caller's alone. The team must stay where it is
// until stopped.
void start_team(Team& team, unsigned wanted);
// job(m, context) for every member m, at once; returns when the caller's
// is done and so is every member's that began before it ended. A job must
// take its work piece by piece until none is left.
void run_team(Team& team, Team_Job job, void* context);
void stop_team(Team& team);

} // namespace img
