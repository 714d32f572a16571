#pragma once

#include <functional>
#include <string>

namespace QXTest {

// A network namespace that lives as long as this object: created with `ip netns add`, loopback
// up, deleted with every link in it by the destructor (also when a test fails). It has no route
// out, so nothing sent inside reaches the machine's own network. Run executes code on a thread
// of its own inside, so the rest of the process stays where it was.
class NetNamespace {
public:
    // prefix names it; a unique suffix keeps parallel tests apart.
    explicit NetNamespace(const std::string& prefix = "qxt");
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    // True when namespaces can be made here (root and the ip tool); tests skip otherwise.
    static bool Available();

    const std::string& Name() const { return m_name; }
    bool Valid() const { return m_valid; }

    // Runs a shell command inside; Exec returns its exit status, Capture what it printed.
    int Exec(const std::string& command) const;
    std::string Capture(const std::string& command) const;
    // Runs fn on a thread that has entered the namespace, and waits for it.
    void Run(const std::function<void()>& fn) const;

    // Joins two namespaces with a veth pair: ifA in a with addrA (CIDR), ifB in b with addrB.
    static bool Link(const NetNamespace& a, const std::string& ifA, const std::string& addrA,
                     const NetNamespace& b, const std::string& ifB, const std::string& addrB);

private:
    std::string m_name;
    bool m_valid = false;
};

// Runs a shell command on the host and returns its exit status (for ip link / ip netns set-up).
int Shell(const std::string& command);

}  // namespace QXTest
