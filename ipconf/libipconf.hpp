// The browse client: broadcasts one LOOK and collects the INFO replies of the
// devices on the segment for a number of seconds. The device list and all its
// texts belong to the caller (ipconf_free_device_list). Reporting: failures
// are printed with perror here (a program calls it, not only the daemon) and
// still give a well-formed list.
#pragma once

// One device that answered. In a real record every text is a heap text
// (possibly empty); the end marker has all four null.
struct ipconf_device {
    char *hostname;
    char *ip; // the interface addresses, joined by ","
    char *product_id;
    char *product_name;
};

// Browses on socket (negative: on a UDP socket of its own) for timeout
// seconds. The records in arrival order, ended by the marker; null only when
// memory runs out.
[[nodiscard]] ipconf_device *ipconf_browse(int socket, int timeout);

// Releases the records before the end marker and the array. Accepts null.
void ipconf_free_device_list(ipconf_device *list);
