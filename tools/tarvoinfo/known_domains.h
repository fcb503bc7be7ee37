/*
 * The lockdown domains tarvoinfo knows by name: listed in its usage text and
 * used to warn (not refuse) when a query names a domain outside them.
 */
#ifndef TARVO_TOOLS_KNOWN_DOMAINS_H
#define TARVO_TOOLS_KNOWN_DOMAINS_H

/* Null-terminated, in the order the usage text lists them. */
extern const char *const domains[];

/* 1 when any known domain occurs inside `domain` (a containment test,
 * case-sensitive), else 0. */
int is_domain_known(const char *domain);

#endif
