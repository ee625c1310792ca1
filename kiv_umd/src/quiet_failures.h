// What the runtime prints about a failing call besides returning its status
// (the container reader's lines about a model file, the records of its log)
// is for callers that have nothing else to tell the user with. A caller that
// reports every failure itself (the Python module's NPU object with its error
// lines switched off) holds that back on its thread while a QuietFailures
// lives; the log's records still come when KIV_LOG_LEVEL asks for the log.
#ifndef KIV_QUIET_FAILURES_H
#define KIV_QUIET_FAILURES_H

namespace kiv {

class QuietFailures {
public:
    // `on` false leaves the thread as it is.
    explicit QuietFailures(bool on);
    ~QuietFailures();
    QuietFailures(const QuietFailures&) = delete;
    QuietFailures& operator=(const QuietFailures&) = delete;

    // Whether one that is on lives in the calling thread.
    static bool active();

private:
    bool previous_;
};

}  // namespace kiv

#endif  // KIV_QUIET_FAILURES_H
