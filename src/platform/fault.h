// Fault injection at the platform seam. Each backend asks fault_fires(point)
// just before the real OS call behind that point and, when it fires, behaves
// as if the OS call had failed. Tests arm a point to fire on its Nth call from
// now, once or for good, in the manner of a disk that fills up or a network
// stack that will not start. Unarmed points cost one relaxed atomic load.
#pragma once

namespace vue::platform {

enum class fault_point : int {
    net_start,      // the network layer does not start
    random_source,  // the OS random source is unavailable
    file_open,      // creating the temporary file fails
    file_write,     // a write stores only half its bytes, then fails (disk full)
    file_sync,      // flushing the file to disk fails
    file_rename,    // renaming the temporary file over the target fails
    icmp_open,      // ICMP echo cannot be used in this process
    file_set_aside, // renaming an unreadable file out of the way fails
    text_memory,    // growing a text buffer finds no memory
    count_
};

// Arms `point` to fire on its `nth` call from now (1 = the next call). With
// `persistent` it keeps firing on every later call too.
void fault_arm(fault_point point, int nth, bool persistent);
void fault_disarm_all();
// How many times `point` has been consulted since the last disarm; lets a
// test see that a path reached the OS at all.
int fault_calls(fault_point point);

// Called by the backends.
bool fault_fires(fault_point point);

}  // namespace vue::platform
