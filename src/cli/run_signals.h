#pragma once
// SIGINT, SIGTERM and SIGHUP for the terminal tool. Outside an update run
// they end the process as they always would (the progress line cleared
// first). While a run goes on, the first SIGINT or SIGTERM asks the run to
// stop at its next safe point and says so; a third within 5 s ends the
// process at once, naming the unit it leaves in its booter. SIGHUP (the
// terminal went away) lets the run go on with its terminal output dropped;
// the log keeps everything.
namespace vesk::cli {

// Blocks the three signals in the calling thread, before any other thread is
// made (they inherit the mask), and hands them to a watcher thread. Call once,
// first thing in main.
void WatchSignals();

// A run is going on: signals ask it to stop instead of ending the process.
void SetRunGoingOn(bool going_on);
// A bench (update --each) is going on: between its runs the first signal
// asks it to stop, and wakes its wait through StopWakeFd.
void SetBenchGoingOn(bool going_on);
// A wait before anything is written (the instrument's lock, "Proceed?"): the
// first signal asks it to end, the command then exits 128 + the signal.
void SetStoppableWait(bool going_on);
// Readable once a stop has been asked for; -1 when signals are not watched.
int StopWakeFd();
// A progress line is on standard error: an ending clears it first.
void SetBarShown(bool shown);

// The status a run stopped on request ends with: 128 + the signal, else -1.
int StoppedRunStatus();

}  // namespace vesk::cli
