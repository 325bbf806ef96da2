// The expiry thread: counts every grant down once a second and removes the
// grants whose lifetime has run out.
#include <unistd.h>

#include "../log.h"
#include "../telnet_server.h"

void* timer(void* t)
{
    telnet_server* ts = static_cast<telnet_server*>(t);
    for (;;) {
        pthread_mutex_lock(&ts->m_lock);
        std::map<std::string, localuser>::iterator it = ts->m_trelvox_to_localuser_map.begin();
        while (it != ts->m_trelvox_to_localuser_map.end()) {
            // Only exactly 0 expires: a lifetime of 0 or less counts away
            // from 0 and lasts until release, a new request or shutdown.
            if (--it->second.time_left == 0) {
                std::string name = it->first;
                ++it;  // removal erases the expired entry
                log_msg("timer", "Timeout: removing %s\n", name.c_str());
                ts->remove_temp_user(name);
            } else {
                ++it;
            }
        }
        pthread_mutex_unlock(&ts->m_lock);
        sleep(1);
    }
    return nullptr;
}
