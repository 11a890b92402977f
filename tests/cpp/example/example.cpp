#include <unistd.h>

#include <iostream>
#include <quor/quor.hpp>
#include <string>

int main() try {
    quor::library lib;
    const std::string name = "quor-example-" + std::to_string(getpid());
    quor::segment seg = quor::segment::create(name, 1 << 20);

    quor::node_plan plan;  // a node with an ID and room for four R properties
    plan.space.areaFlags = QUOR_KIND_ID | QUOR_KIND_R;
    plan.space.maxIdSize = 16;
    plan.space.rCount = 4;
    plan.id = "boiler";
    quor::node top = seg.create_node(plan);
    top.set_tag(1);
    top.create_r_list(4);
    top.activate();
    seg.set_top(top);  // other processes now find it with quor::segment::connect(name)

    top.r(10).add(300);
    {
        quor::write_guard w(top);  // one write section for the read and the write
        w->r(10).set(w->r(10).get() + 5);
    }
    std::cout << top.id() << ": r10 = " << top.r(10).get() << '\n';
    seg.remove();
    return 0;
} catch (const std::system_error &e) {
    std::cerr << e.what() << '\n';  // the failing operation, the code and its text
    return 1;
}
