#pragma once

#include <functional>
#include <string>

namespace QXTest {

// A network namespace with loopback up, deleted with every link in it when this goes (also when
// a test fails). It has no route out, so nothing sent inside reaches the machine's own network.
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

    // A shell command inside: Exec returns its exit status, Capture what it printed.
    int Exec(const std::string& command) const;
    std::string Capture(const std::string& command) const;
    // Runs fn on a thread of its own that entered the namespace, and waits for it.
    void Run(const std::function<void()>& fn) const;
    // Joins two namespaces with a veth pair: ifA in a with addrA (CIDR), ifB in b with addrB.
    static bool Link(const NetNamespace& a, const std::string& ifA, const std::string& addrA,
                     const NetNamespace& b, const std::string& ifB, const std::string& addrB);

private:
    std::string m_name;
    bool m_valid = false;
};

// A shell command on the host; its exit status.
int Shell(const std::string& command);

}  // namespace QXTest
