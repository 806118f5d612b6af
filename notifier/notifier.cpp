#include "notifier/notifier.hpp"

#include "notifier/notifier_output.hpp"

int notifier_open(select_set *set, gid_t producer_group)
{
    const int input = notifier_input_open(set, producer_group);
    if (input != 0 || notifier_output_open(set) != 0) {
        notifier_close(set);
        return input == NOTIFIER_NAME_HELD ? input : -1;
    }
    return 0;
}

int notifier_server(select_set *set, const select_set *ready)
{
    int input = notifier_input_server(set, ready);
    int output = notifier_output_server(set, ready);
    return input | output;
}

void notifier_close(select_set *set)
{
    notifier_input_close(set);
    notifier_output_close(set);
}

bool notifier_broken()
{
    return notifier_input_broken() || notifier_output_broken();
}
