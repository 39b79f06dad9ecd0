#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace asio {
class io_context;
}  // namespace asio

namespace qv {

// A serial queue: one io_context run by one named thread. Work posted to it runs one item at a
// time, in the order posted. Queues made for the process live until it exits.
class Queue {
public:
    explicit Queue(std::string label);
    ~Queue();
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    const std::string& label() const { return label_; }

    // Runs work later on this queue.
    void async(std::function<void()> work);
    // Runs work on this queue and waits for it; must not be called from this queue.
    void sync(const std::function<void()>& work);
    // Runs work on this queue once `seconds` have passed.
    void after(double seconds, std::function<void()> work);

    // True when the calling thread is this queue's thread.
    bool isCurrent() const;
    // The queue whose thread is calling, or null.
    static Queue* current();

    asio::io_context& context();

private:
    // Asio stays out of this header: nearly every file includes it, and asio's headers would add
    // about a third to what each of them compiles.
    struct Context;
    std::string label_;
    std::unique_ptr<Context> context_;
    std::thread thread_;
};

// Ends the program when a method runs on the wrong queue: state owned by a queue is never locked,
// so touching it from anywhere else is a bug that must not go unnoticed.
void assertOnQueue(const Queue& queue);
void assertNotOnQueue(const Queue& queue);

}  // namespace qv
