// quorctl: create, inspect, change, watch and check status trees from the shell.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "failure.hpp"
#include "verbs.hpp"

namespace {

const char *const kExitCodes =
    "\nExit status:\n"
    "  0  success (check: the segment is sound)\n"
    "  1  a library operation failed; the message names the return code\n"
    "  2  bad command line, PATH, PROPERTY, VALUE or JSON file\n"
    "  3  check found damage\n";

const char *const kNotation =
    "\nNotation:\n"
    "  NAME      the segment's name as the library knows it (default key words)\n"
    "  PATH      / or /TAG:ID for the top node, /TAG:ID/TAG:ID/... below it; tags in\n"
    "            decimal or 0x hex, IDs as text with \\xHH for other bytes (\\x2f for '/')\n"
    "  PROPERTY  r:N, v:N, ir:TAG:ID, iv:TAG:ID, baser or basev\n";

std::string footer(const char *examples) {
    return std::string("\nExamples:\n") + examples + kNotation + kExitCodes;
}

}  // namespace

int main(int argc, char **argv) {
    using namespace quorctl;
    CLI::App app{"quorctl: create, inspect, change, watch and check Quor status trees"};
    app.require_subcommand(1);
    app.footer(
        footer("  quorctl create plant --from tree.json\n"
               "  quorctl show plant\n"
               "  quorctl set plant /42:line-1 r:1 17\n"
               "  quorctl check plant\n"
               "Run quorctl COMMAND --help for each command's options.\n"));

    // Every command works on one segment, named first.
    auto verb = [&](const char *name, const char *what, std::string &segment) {
        CLI::App *command = app.add_subcommand(name, what);
        command->add_option("NAME", segment, "Segment name")->required();
        return command;
    };

    CreateArgs create;
    auto *c = verb("create", "Create a status segment holding the tree a JSON file describes", create.name);
    c->add_option("--from", create.from, "Tree description (see SCHEMA.md)")->required();
    c->add_option("--size", create.size, "Segment size in bytes")->capture_default_str();
    c->footer(
        footer("  quorctl create plant --from tree.json\n"
               "  quorctl create big --from tree.json --size 16777216\n"));

    ShowArgs show;
    auto *s = verb("show", "Print a tree or subtree as an outline or as JSON", show.name);
    s->add_option("PATH", show.path, "Node to start at")->capture_default_str();
    s->add_option("--depth", show.depth, "Levels below PATH to show (default: all)")
        ->check(CLI::NonNegativeNumber);
    s->add_flag("--json", show.json, "Print JSON that create --from accepts");
    s->footer(
        footer("  quorctl show plant\n"
               "  quorctl show plant /42:line-1/7:pump-1 --depth 1\n"
               "  quorctl show plant --json > copy.json\n"));

    GetArgs get;
    auto *g = verb("get", "Print one property's value (or RC word)", get.name);
    g->add_option("PATH", get.path, "Node")->required();
    g->add_option("PROPERTY", get.property, "Property")->required();
    g->add_flag("--hex", get.hex, "Print the value in hex");
    g->add_flag("--rc", get.rc, "Print the RC word instead of the value");
    g->footer(
        footer("  quorctl get plant / r:1\n"
               "  quorctl get plant /42:line-1/7:pump-1 iv:5:serial --hex\n"
               "  quorctl get plant / baser --rc\n"));

    SetArgs set;
    auto *t = verb("set", "Change one property's value (or RC word)", set.name);
    t->add_option("PATH", set.path, "Node")->required();
    t->add_option("PROPERTY", set.property, "Property")->required();
    t->add_option("VALUE", set.value, "Integer, or bytes with \\xHH escapes")->required();
    t->add_flag("--rc", set.rc, "Set the RC word (an unsigned 64-bit integer)");
    t->footer(
        footer("  quorctl set plant / r:1 -5\n"
               "  quorctl set plant /42:line-1 v:2 'on\\x00line'\n"
               "  quorctl set plant / r:1 0x10 --rc\n"));

    WatchArgs watch;
    auto *w = verb("watch", "Print a line whenever a node changes, until interrupted", watch.name);
    w->add_option("PATH", watch.path, "Node")->required();
    w->add_option("--interval", watch.intervalMs, "Milliseconds between looks")
        ->capture_default_str()
        ->check(CLI::Range(1u, 3600000u));
    w->add_option("--count", watch.count, "Stop after this many change lines (default: never)");
    w->footer(
        footer("  quorctl watch plant /\n"
               "  quorctl watch plant /42:line-1/7:pump-1 --interval 100\n"));

    StatArgs stat;
    auto *st = verb("stat", "Print heap, pool and tree figures", stat.name);
    st->add_flag("--json", stat.json, "Print JSON");
    st->footer(
        footer("  quorctl stat plant\n"
               "  quorctl stat plant --json\n"));

    std::string checkName;
    auto *k = verb("check", "Check heaps, pads and every node of the tree", checkName);
    k->footer(footer("  quorctl check plant && echo sound\n"));

    DumpArgs dump;
    auto *d = verb("dump", "Print the skip lists of the segment's heaps", dump.name);
    d->add_option("--verbosity", dump.verbosity, "0 (nothing) to 5 (every link)")
        ->capture_default_str()
        ->check(CLI::Range(0u, 5u));
    d->add_option("--heap", dump.heap, "domain, pool or both")
        ->capture_default_str()
        ->check(CLI::IsMember({"domain", "pool", "both"}));
    d->footer(
        footer("  quorctl dump plant\n"
               "  quorctl dump plant --heap pool --verbosity 3\n"));

    DeleteArgs del;
    auto *x = verb("delete", "Delete a status segment, or say which processes keep it", del.name);
    x->add_flag("--force", del.force,
                "Remove it even while other processes are connected, marked, without a tree or damaged");
    x->add_flag("--json", del.json, "Print JSON");
    x->footer(footer("  quorctl delete plant\n  quorctl delete plant --force\n"));

    bool listJson = false;
    auto *l = app.add_subcommand("list", "List this user's status segments: size, state, connections, creator");
    l->add_flag("--json", listJson, "Print JSON");
    l->footer(footer("  quorctl list\n  quorctl list --json\n"));

    std::string holdersName;
    bool holdersJson = false;
    auto *h = verb("holders", "List the processes holding connections, running or gone", holdersName);
    h->add_flag("--json", holdersJson, "Print JSON");
    h->footer(footer("  quorctl holders plant\n"));

    bool reapJson = false;
    auto *r = app.add_subcommand(
        "reap", "Release dead holders everywhere; remove marked, tree-less or damaged segments nobody holds");
    r->add_flag("--json", reapJson, "Print JSON");
    r->footer(footer("  quorctl reap\n"));

    std::string metricsName;
    auto *m =
        verb("metrics", "Print figures in the text exposition format of monitoring scrapers", metricsName);
    m->footer(footer("  quorctl metrics plant > /var/lib/node_exporter/textfile/quor_plant.prom\n"));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "quorctl: %s\n", e.what());
        return kExitUsage;
    }
    try {
        if (*c) return runCreate(create);
        if (*s) return runShow(show);
        if (*g) return runGet(get);
        if (*t) return runSet(set);
        if (*w) return runWatch(watch);
        if (*st) return runStat(stat);
        if (*k) return runCheck(checkName);
        if (*d) return runDump(dump);
        if (*x) return runDelete(del);
        if (*m) return runMetrics(metricsName);
        if (*l) return runList(listJson);
        if (*h) return runHolders(holdersName, holdersJson);
        if (*r) return runReap(reapJson);
    } catch (const Failure &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "quorctl: %s\n", e.what());
        return e.exitCode();
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "quorctl: %s\n", e.what());
        return kExitLibrary;
    }
    return kExitUsage;
}
