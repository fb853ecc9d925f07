/*
 * Driver core: the driver-wide state shared by every process in a named memory zone, controller options and their
 * defaults, the transport ID text grammar, and probe, attach and detach of one controller by its PCI address.
 */
#include "nvme_internal.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>

#define SPDK_NVME_DRIVER_NAME "spdk_nvme_driver"

/* How long a secondary process waits for the primary to finish its first probe: 180000 x 1 ms. */
#define NVME_SECONDARY_INIT_POLLS 180000

SPDK_LOG_REGISTER_COMPONENT("nvme", SPDK_LOG_NVME)

struct nvme_driver *g_spdk_nvme_driver;
pid_t g_spdk_nvme_pid;

/* ---------------------------------------------------------------------------------------------------------------- */
/* Robust mutexes                                                                                                   */
/* ---------------------------------------------------------------------------------------------------------------- */

static int nvme_robust_mutex_init(pthread_mutex_t *mtx, bool recursive)
{
	pthread_mutexattr_t attr;
	int rc = 0;

	if (pthread_mutexattr_init(&attr) != 0) {
		return -1;
	}
	if ((recursive && pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) != 0) ||
	    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) != 0 ||
	    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) != 0 || pthread_mutex_init(mtx, &attr) != 0) {
		rc = -1;
	}
	pthread_mutexattr_destroy(&attr);
	return rc;
}

int nvme_robust_mutex_init_shared(pthread_mutex_t *mtx)
{
	return nvme_robust_mutex_init(mtx, false);
}

int nvme_robust_mutex_init_recursive_shared(pthread_mutex_t *mtx)
{
	return nvme_robust_mutex_init(mtx, true);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Driver-wide state                                                                                                */
/* ---------------------------------------------------------------------------------------------------------------- */

static int nvme_driver_init_secondary(void)
{
	int i;

	g_spdk_nvme_driver = spdk_memzone_lookup(SPDK_NVME_DRIVER_NAME);
	if (g_spdk_nvme_driver == NULL) {
		SPDK_ERRLOG("primary process is not started yet\n");
		return -1;
	}
	if (g_spdk_nvme_driver->initialized) {
		return 0;
	}
	for (i = 0; i < NVME_SECONDARY_INIT_POLLS; i++) {
		usleep(1000);
		if (g_spdk_nvme_driver->initialized) {
			return 0;
		}
	}
	SPDK_ERRLOG("timeout waiting for primary process to init\n");
	return -1;
}

int nvme_driver_init(void)
{
	struct nvme_driver *driver;
	int rc;

	g_spdk_nvme_pid = getpid();

	if (!spdk_process_is_primary()) {
		return nvme_driver_init_secondary();
	}
	if (g_spdk_nvme_driver != NULL) {
		return 0;
	}

	driver = spdk_memzone_reserve(SPDK_NVME_DRIVER_NAME, sizeof(struct nvme_driver), SPDK_ENV_SOCKET_ID_ANY,
				      SPDK_MEMZONE_NO_IOVA_CONTIG);
	if (driver == NULL) {
		SPDK_ERRLOG("primary process failed to reserve memory\n");
		return -1;
	}
	rc = nvme_robust_mutex_init_shared(&driver->lock);
	if (rc != 0) {
		SPDK_ERRLOG("failed to initialize mutex\n");
		spdk_memzone_free(SPDK_NVME_DRIVER_NAME);
		return rc;
	}

	nvme_robust_mutex_lock(&driver->lock);
	driver->initialized = false;
	TAILQ_INIT(&driver->shared_attached_ctrlrs);
	spdk_uuid_generate(&driver->default_extended_host_id);
	g_spdk_nvme_driver = driver;
	nvme_robust_mutex_unlock(&driver->lock);
	return 0;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Controller options                                                                                               */
/* ---------------------------------------------------------------------------------------------------------------- */

void spdk_nvme_ctrlr_get_default_ctrlr_opts(struct spdk_nvme_ctrlr_opts *opts, size_t opts_size)
{
	char host_id_str[SPDK_UUID_STRING_LEN];

	if (opts == NULL) {
		return;
	}
	memset(opts, 0, opts_size);

#define FIELD_OK(field) (offsetof(struct spdk_nvme_ctrlr_opts, field) + sizeof(opts->field) <= opts_size)

	if (FIELD_OK(num_io_queues)) {
		opts->num_io_queues = 1024;
	}
	if (FIELD_OK(use_cmb_sqs)) {
		opts->use_cmb_sqs = true;
	}
	if (FIELD_OK(arb_mechanism)) {
		opts->arb_mechanism = SPDK_NVME_CC_AMS_RR;
	}
	if (FIELD_OK(keep_alive_timeout_ms)) {
		opts->keep_alive_timeout_ms = 10000;
	}
	if (FIELD_OK(io_queue_size)) {
		opts->io_queue_size = 256;
	}
	if (FIELD_OK(io_queue_requests)) {
		opts->io_queue_requests = 512;
	}
	if (FIELD_OK(command_set)) {
		opts->command_set = SPDK_NVME_CC_CSS_NVM;
	}
	if (FIELD_OK(admin_timeout_ms)) {
		opts->admin_timeout_ms = SPDK_NVME_DEFAULT_COMMAND_TIMEOUT_MS;
	}
	if (FIELD_OK(header_digest)) {
		opts->header_digest = false;
	}
	if (FIELD_OK(data_digest)) {
		opts->data_digest = false;
	}
	if (FIELD_OK(disable_error_logging)) {
		opts->disable_error_logging = false;
	}
	if (FIELD_OK(override_cap_to)) {
		opts->override_cap_to = 0;
	}

	if (nvme_driver_init() == 0) {
		if (FIELD_OK(hostnqn) &&
		    spdk_uuid_fmt_lower(host_id_str, sizeof(host_id_str),
					&g_spdk_nvme_driver->default_extended_host_id) == 0) {
			snprintf(opts->hostnqn, sizeof(opts->hostnqn), "2014-08.org.nvmexpress:uuid:%s", host_id_str);
		}
		if (FIELD_OK(extended_host_id)) {
			memcpy(opts->extended_host_id, &g_spdk_nvme_driver->default_extended_host_id,
			       sizeof(opts->extended_host_id));
		}
	}
#undef FIELD_OK
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Transport ID text                                                                                                */
/* ---------------------------------------------------------------------------------------------------------------- */

#define NVME_KEY_MAX_LEN 31
#define NVME_VALUE_MAX_LEN 1023
#define NVME_BLANKS " \t\n"

/*
 * Read one "key:value" (or "key=value") pair from *str, skipping leading blanks, and advance *str past it. The key
 * ends at the first ':' or '='; a blank or the end of the text before any separator means the pair has none. The
 * value ends at the next blank. Returns the value length, or 0 with an error logged.
 */
static size_t nvme_parse_next_key(const char **str, char *key, char *val, size_t key_buf_size, size_t val_buf_size)
{
	const char *p = *str + strspn(*str, NVME_BLANKS);
	size_t key_len, val_len;

	key_len = strcspn(p, ":=" NVME_BLANKS);
	if (p[key_len] != ':' && p[key_len] != '=') {
		SPDK_ERRLOG("Key without ':' or '=' separator\n");
		return 0;
	}
	if (key_len >= key_buf_size) {
		SPDK_ERRLOG("Key length %zu greater than maximum allowed %zu\n", key_len, key_buf_size - 1);
		return 0;
	}
	memcpy(key, p, key_len);
	key[key_len] = '\0';

	p += key_len + 1; /* the separator */
	val_len = strcspn(p, NVME_BLANKS);
	if (val_len == 0) {
		SPDK_ERRLOG("Key without value\n");
		return 0;
	}
	if (val_len >= val_buf_size) {
		SPDK_ERRLOG("Value length %zu greater than maximum allowed %zu\n", val_len, val_buf_size - 1);
		return 0;
	}
	memcpy(val, p, val_len);
	val[val_len] = '\0';

	*str = p + val_len;
	return val_len;
}

/* Whether only blanks are left. */
static bool nvme_text_done(const char *str)
{
	return str[strspn(str, NVME_BLANKS)] == '\0';
}

int spdk_nvme_transport_id_parse_trtype(enum spdk_nvme_transport_type *trtype, const char *str)
{
	if (trtype == NULL || str == NULL) {
		return -EINVAL;
	}
	if (strcasecmp(str, "PCIe") == 0) {
		*trtype = SPDK_NVME_TRANSPORT_PCIE;
		return 0;
	}
	return -ENOENT;
}

const char *spdk_nvme_transport_id_trtype_str(enum spdk_nvme_transport_type trtype)
{
	return trtype == SPDK_NVME_TRANSPORT_PCIE ? "PCIe" : NULL;
}

static const struct {
	enum spdk_nvmf_adrfam adrfam;
	const char *text;
} g_adrfam_names[] = {
	{SPDK_NVMF_ADRFAM_IPV4, "IPv4"},
	{SPDK_NVMF_ADRFAM_IPV6, "IPv6"},
	{SPDK_NVMF_ADRFAM_IB, "IB"},
	{SPDK_NVMF_ADRFAM_FC, "FC"},
};

int spdk_nvme_transport_id_parse_adrfam(enum spdk_nvmf_adrfam *adrfam, const char *str)
{
	size_t i;

	if (adrfam == NULL || str == NULL) {
		return -EINVAL;
	}
	for (i = 0; i < sizeof(g_adrfam_names) / sizeof(g_adrfam_names[0]); i++) {
		if (strcasecmp(str, g_adrfam_names[i].text) == 0) {
			*adrfam = g_adrfam_names[i].adrfam;
			return 0;
		}
	}
	return -ENOENT;
}

const char *spdk_nvme_transport_id_adrfam_str(enum spdk_nvmf_adrfam adrfam)
{
	size_t i;

	for (i = 0; i < sizeof(g_adrfam_names) / sizeof(g_adrfam_names[0]); i++) {
		if (g_adrfam_names[i].adrfam == adrfam) {
			return g_adrfam_names[i].text;
		}
	}
	return NULL;
}

/* Copy a value into a fixed field of max_len characters; -EINVAL (logged) when it does not fit. */
static int nvme_copy_field(char *dst, const char *val, size_t val_len, size_t max_len, const char *what)
{
	if (val_len > max_len) {
		SPDK_ERRLOG("%s length %zu greater than maximum allowed %u\n", what, val_len, (unsigned)max_len);
		return -EINVAL;
	}
	memcpy(dst, val, val_len + 1);
	return 0;
}

/* Calls take(record, key, value, value length) for every "key:value" pair of the text, in order. -EINVAL (logged as
 * "Failed to parse <what>") for a malformed pair; a non-zero result of take ends the parse with that result. */
static int nvme_parse_pairs(const char *str, const char *what, void *record,
			    int (*take)(void *record, const char *key, const char *val, size_t val_len))
{
	char key[NVME_KEY_MAX_LEN + 1];
	char val[NVME_VALUE_MAX_LEN + 1];
	size_t val_len;
	int rc;

	while (!nvme_text_done(str)) {
		val_len = nvme_parse_next_key(&str, key, val, sizeof(key), sizeof(val));
		if (val_len == 0) {
			SPDK_ERRLOG("Failed to parse %s\n", what);
			return -EINVAL;
		}
		rc = take(record, key, val, val_len);
		if (rc != 0) {
			return rc;
		}
	}
	return 0;
}

static int nvme_transport_id_take(void *record, const char *key, const char *val, size_t val_len)
{
	struct spdk_nvme_transport_id *trid = (struct spdk_nvme_transport_id *)record;

	if (strcasecmp(key, "trtype") == 0) {
		if (spdk_nvme_transport_id_parse_trtype(&trid->trtype, val) != 0) {
			SPDK_ERRLOG("Unknown trtype '%s'\n", val);
			return -EINVAL;
		}
	} else if (strcasecmp(key, "adrfam") == 0) {
		if (spdk_nvme_transport_id_parse_adrfam(&trid->adrfam, val) != 0) {
			SPDK_ERRLOG("Unknown adrfam '%s'\n", val);
			return -EINVAL;
		}
	} else if (strcasecmp(key, "traddr") == 0) {
		return nvme_copy_field(trid->traddr, val, val_len, SPDK_NVMF_TRADDR_MAX_LEN, "traddr");
	} else if (strcasecmp(key, "trsvcid") == 0) {
		return nvme_copy_field(trid->trsvcid, val, val_len, SPDK_NVMF_TRSVCID_MAX_LEN, "trsvcid");
	} else if (strcasecmp(key, "subnqn") == 0) {
		return nvme_copy_field(trid->subnqn, val, val_len, SPDK_NVMF_NQN_MAX_LEN, "subnqn");
	} else if (strcasecmp(key, "hostaddr") == 0 || strcasecmp(key, "hostsvcid") == 0 ||
		   strcasecmp(key, "ns") == 0) {
		/* Keys of other records that may share the text. */
	} else {
		SPDK_ERRLOG("Unknown transport ID key '%s'\n", key);
	}
	return 0;
}

int spdk_nvme_transport_id_parse(struct spdk_nvme_transport_id *trid, const char *str)
{
	if (trid == NULL || str == NULL) {
		return -EINVAL;
	}
	return nvme_parse_pairs(str, "transport ID", trid, nvme_transport_id_take);
}

static int nvme_host_id_take(void *record, const char *key, const char *val, size_t val_len)
{
	struct spdk_nvme_host_id *hostid = (struct spdk_nvme_host_id *)record;

	if (strcasecmp(key, "hostaddr") == 0) {
		return nvme_copy_field(hostid->hostaddr, val, val_len, SPDK_NVMF_TRADDR_MAX_LEN, "hostaddr");
	} else if (strcasecmp(key, "hostsvcid") == 0) {
		return nvme_copy_field(hostid->hostsvcid, val, val_len, SPDK_NVMF_TRSVCID_MAX_LEN, "trsvcid");
	} else if (strcasecmp(key, "trtype") == 0 || strcasecmp(key, "adrfam") == 0 ||
		   strcasecmp(key, "traddr") == 0 || strcasecmp(key, "trsvcid") == 0 ||
		   strcasecmp(key, "subnqn") == 0 || strcasecmp(key, "ns") == 0) {
		/* Transport keys belong to the transport ID. */
	} else {
		SPDK_ERRLOG("Unknown transport ID key '%s'\n", key);
	}
	return 0;
}

int spdk_nvme_host_id_parse(struct spdk_nvme_host_id *hostid, const char *str)
{
	if (hostid == NULL || str == NULL) {
		return -EINVAL;
	}
	return nvme_parse_pairs(str, "host ID", hostid, nvme_host_id_take);
}

static int nvme_cmp_int(int a, int b)
{
	return (a > b) - (a < b);
}

int spdk_nvme_transport_id_compare(const struct spdk_nvme_transport_id *trid1,
				   const struct spdk_nvme_transport_id *trid2)
{
	int cmp;

	if (trid1->trtype != trid2->trtype) {
		return (int)trid1->trtype - (int)trid2->trtype;
	}

	if (trid1->trtype == SPDK_NVME_TRANSPORT_PCIE) {
		struct spdk_pci_addr addr1, addr2;

		if (spdk_pci_addr_parse(&addr1, trid1->traddr) != 0 || spdk_pci_addr_parse(&addr2, trid2->traddr) != 0) {
			return -1;
		}
		return spdk_pci_addr_compare(&addr1, &addr2);
	}

	cmp = strcasecmp(trid1->traddr, trid2->traddr);
	if (cmp != 0) {
		return cmp;
	}
	cmp = nvme_cmp_int((int)trid1->adrfam, (int)trid2->adrfam);
	if (cmp != 0) {
		return cmp;
	}
	cmp = strcasecmp(trid1->trsvcid, trid2->trsvcid);
	if (cmp != 0) {
		return cmp;
	}
	return strcmp(trid1->subnqn, trid2->subnqn);
}

static int nvme_prchk_flags_take(void *record, const char *key, const char *val, size_t val_len)
{
	uint32_t *prchk_flags = (uint32_t *)record;

	(void)val_len;
	if (strcasecmp(key, "prchk") != 0) {
		SPDK_ERRLOG("Unknown key '%s'\n", key);
		return -EINVAL;
	}
	if (strcasestr(val, "reftag") != NULL) {
		*prchk_flags |= SPDK_NVME_IO_FLAGS_PRCHK_REFTAG;
	}
	if (strcasestr(val, "guard") != NULL) {
		*prchk_flags |= SPDK_NVME_IO_FLAGS_PRCHK_GUARD;
	}
	return 0;
}

int spdk_nvme_prchk_flags_parse(uint32_t *prchk_flags, const char *str)
{
	if (prchk_flags == NULL || str == NULL) {
		return -EINVAL;
	}
	return nvme_parse_pairs(str, "prchk", prchk_flags, nvme_prchk_flags_take);
}

const char *spdk_nvme_prchk_flags_str(uint32_t prchk_flags)
{
	bool reftag = (prchk_flags & SPDK_NVME_IO_FLAGS_PRCHK_REFTAG) != 0;
	bool guard = (prchk_flags & SPDK_NVME_IO_FLAGS_PRCHK_GUARD) != 0;

	if (reftag && guard) {
		return "prchk:reftag|guard";
	}
	if (reftag) {
		return "prchk:reftag";
	}
	if (guard) {
		return "prchk:guard";
	}
	return NULL;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Probe and attach                                                                                                 */
/* ---------------------------------------------------------------------------------------------------------------- */

struct spdk_nvme_ctrlr *spdk_nvme_get_ctrlr_by_trid_unsafe(const struct spdk_nvme_transport_id *trid)
{
	struct spdk_nvme_ctrlr *ctrlr;

	if (g_spdk_nvme_driver == NULL) {
		return NULL;
	}
	TAILQ_FOREACH(ctrlr, &g_spdk_nvme_driver->shared_attached_ctrlrs, tailq) {
		if (spdk_nvme_transport_id_compare(&ctrlr->trid, trid) == 0) {
			return ctrlr;
		}
	}
	return NULL;
}

void nvme_ctrlr_connected(struct spdk_nvme_probe_ctx *probe_ctx, struct spdk_nvme_ctrlr *ctrlr)
{
	TAILQ_INSERT_TAIL(&probe_ctx->init_ctrlrs, ctrlr, tailq);
}

int nvme_ctrlr_probe(const struct spdk_nvme_transport_id *trid, struct spdk_nvme_probe_ctx *probe_ctx,
		     void *devhandle)
{
	struct spdk_nvme_ctrlr *ctrlr;
	struct spdk_nvme_ctrlr_opts opts;

	spdk_nvme_ctrlr_get_default_ctrlr_opts(&opts, sizeof(opts));
	if (probe_ctx->probe_cb != NULL && !probe_ctx->probe_cb(probe_ctx->cb_ctx, trid, &opts)) {
		return 1;
	}

	ctrlr = spdk_nvme_get_ctrlr_by_trid_unsafe(trid);
	if (ctrlr != NULL) {
		/* Already attached: hand out one more reference. A process that attaches it for the first time gets its
		 * own record with the device handle of its own environment; otherwise the offered handle is not needed. */
		if (spdk_nvme_ctrlr_get_current_process(ctrlr) == NULL) {
			if (devhandle == NULL || nvme_ctrlr_add_process(ctrlr, devhandle) != 0) {
				return -1;
			}
		} else if (devhandle != NULL) {
			spdk_pci_device_detach(devhandle);
		}
		nvme_ctrlr_proc_get_ref(ctrlr);
		if (probe_ctx->attach_cb != NULL) {
			nvme_robust_mutex_unlock(&g_spdk_nvme_driver->lock);
			probe_ctx->attach_cb(probe_ctx->cb_ctx, &ctrlr->trid, ctrlr, &ctrlr->opts);
			nvme_robust_mutex_lock(&g_spdk_nvme_driver->lock);
		}
		return 0;
	}
	if (devhandle == NULL) {
		return 1;
	}

	ctrlr = nvme_transport_ctrlr_construct(trid, &opts, devhandle);
	if (ctrlr == NULL) {
		SPDK_ERRLOG("Failed to construct NVMe controller for SSD: %s\n", trid->traddr);
		return -1;
	}
	nvme_ctrlr_connected(probe_ctx, ctrlr);
	return 0;
}

/*
 * An attached controller that must not be handed out again: failed or removed by its user, or a device that no
 * longer answers as an enabled, healthy controller (gone from the bus, fatal status, not ready).
 */
static bool nvme_ctrlr_is_stale(struct spdk_nvme_ctrlr *ctrlr)
{
	union spdk_nvme_csts_register csts;

	if (ctrlr->is_failed || ctrlr->is_removed) {
		return true;
	}
	if (nvme_transport_ctrlr_get_reg_4(ctrlr, offsetof(struct spdk_nvme_registers, csts), &csts.raw) != 0) {
		return true;
	}
	return csts.bits.cfs || !csts.bits.rdy;
}

/* Drop a stale controller from the attached list and tear it down, whatever references it still has. */
static void nvme_ctrlr_retire(struct spdk_nvme_ctrlr *ctrlr)
{
	SPDK_NOTICELOG("Replacing controller %s that failed or left the bus\n", ctrlr->trid.traddr);
	TAILQ_REMOVE(&g_spdk_nvme_driver->shared_attached_ctrlrs, ctrlr, tailq);
	nvme_ctrlr_destruct(ctrlr);
}

struct nvme_pcie_enum_ctx {
	struct spdk_nvme_probe_ctx *probe_ctx;
	struct spdk_pci_addr pci_addr;
	bool has_pci_addr;
};

static int pcie_nvme_enum_cb(void *ctx, struct spdk_pci_device *pci_dev)
{
	struct nvme_pcie_enum_ctx *enum_ctx = ctx;
	struct spdk_nvme_transport_id trid;
	struct spdk_pci_addr pci_addr = spdk_pci_device_get_addr(pci_dev);

	memset(&trid, 0, sizeof(trid));
	trid.trtype = SPDK_NVME_TRANSPORT_PCIE;
	spdk_pci_addr_fmt(trid.traddr, sizeof(trid.traddr), &pci_addr);

	if (enum_ctx->has_pci_addr && spdk_pci_addr_compare(&pci_addr, &enum_ctx->pci_addr) != 0) {
		return 1;
	}
	return nvme_ctrlr_probe(&trid, enum_ctx->probe_ctx, pci_dev);
}

int nvme_pcie_ctrlr_scan(struct spdk_nvme_probe_ctx *probe_ctx, bool direct_connect)
{
	struct nvme_pcie_enum_ctx enum_ctx;
	struct spdk_nvme_transport_id trid;
	struct spdk_nvme_ctrlr *existing;
	int rc;

	(void)direct_connect;
	memset(&enum_ctx, 0, sizeof(enum_ctx));
	enum_ctx.probe_ctx = probe_ctx;

	SPDK_NOTICELOG("Scanning Controllers\n");
	if (probe_ctx->trid.traddr[0] != '\0') {
		if (spdk_pci_addr_parse(&enum_ctx.pci_addr, probe_ctx->trid.traddr) != 0) {
			return -1;
		}
		enum_ctx.has_pci_addr = true;
		SPDK_NOTICELOG("PCI address is supplied\n");

		/* A controller already attached at this address is handed out again without a new attachment of
		 * the device, unless it failed or its device went away: then it is replaced by a fresh one. */
		memset(&trid, 0, sizeof(trid));
		trid.trtype = SPDK_NVME_TRANSPORT_PCIE;
		spdk_pci_addr_fmt(trid.traddr, sizeof(trid.traddr), &enum_ctx.pci_addr);
		existing = spdk_nvme_get_ctrlr_by_trid_unsafe(&trid);
		if (existing != NULL && nvme_ctrlr_is_stale(existing)) {
			nvme_ctrlr_retire(existing);
			existing = NULL;
		}
		if (existing != NULL && spdk_nvme_ctrlr_get_current_process(existing) != NULL) {
			rc = nvme_ctrlr_probe(&trid, probe_ctx, NULL);
			return rc < 0 ? rc : 0;
		}
	}

	SPDK_NOTICELOG("Starting PCI Device Attachment\n");
	return spdk_pci_device_attach(spdk_pci_nvme_get_driver(), pcie_nvme_enum_cb, &enum_ctx, &enum_ctx.pci_addr);
}

static void nvme_probe_ctx_destroy_init_ctrlrs(struct spdk_nvme_probe_ctx *probe_ctx)
{
	struct spdk_nvme_ctrlr *ctrlr, *tmp;

	TAILQ_FOREACH_SAFE(ctrlr, &probe_ctx->init_ctrlrs, tailq, tmp) {
		TAILQ_REMOVE(&probe_ctx->init_ctrlrs, ctrlr, tailq);
		nvme_ctrlr_destruct(ctrlr);
	}
}

static struct spdk_nvme_probe_ctx *nvme_probe_ctx_create(const struct spdk_nvme_transport_id *trid, void *cb_ctx,
							 spdk_nvme_probe_cb probe_cb,
							 spdk_nvme_attach_cb attach_cb,
							 spdk_nvme_remove_cb remove_cb)
{
	struct spdk_nvme_probe_ctx *probe_ctx = calloc(1, sizeof(*probe_ctx));

	if (probe_ctx == NULL) {
		return NULL;
	}
	probe_ctx->trid = *trid;
	probe_ctx->cb_ctx = cb_ctx;
	probe_ctx->probe_cb = probe_cb;
	probe_ctx->attach_cb = attach_cb;
	probe_ctx->remove_cb = remove_cb;
	TAILQ_INIT(&probe_ctx->init_ctrlrs);
	return probe_ctx;
}

/* Scan under the driver lock; on failure the context is freed and NULL returned. */
static struct spdk_nvme_probe_ctx *nvme_probe_ctx_scan(struct spdk_nvme_probe_ctx *probe_ctx, bool direct_connect)
{
	int rc;

	nvme_robust_mutex_lock(&g_spdk_nvme_driver->lock);
	rc = nvme_transport_ctrlr_scan(probe_ctx, direct_connect);
	if (rc < 0) {
		SPDK_ERRLOG("Failed to scan controllers\n");
		nvme_probe_ctx_destroy_init_ctrlrs(probe_ctx);
	}
	nvme_robust_mutex_unlock(&g_spdk_nvme_driver->lock);

	if (rc < 0) {
		free(probe_ctx);
		return NULL;
	}
	return probe_ctx;
}

struct spdk_nvme_probe_ctx *spdk_nvme_probe_async(const struct spdk_nvme_transport_id *trid, void *cb_ctx,
						  spdk_nvme_probe_cb probe_cb, spdk_nvme_attach_cb attach_cb,
						  spdk_nvme_remove_cb remove_cb)
{
	struct spdk_nvme_probe_ctx *probe_ctx;

	if (trid == NULL || nvme_driver_init() != 0) {
		return NULL;
	}
	probe_ctx = nvme_probe_ctx_create(trid, cb_ctx, probe_cb, attach_cb, remove_cb);
	if (probe_ctx == NULL) {
		return NULL;
	}
	return nvme_probe_ctx_scan(probe_ctx, false);
}

/* One initialisation step of a constructed controller; attaches it once it is ready. 0 or the step's error. */
static int nvme_ctrlr_poll_internal(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_probe_ctx *probe_ctx)
{
	int rc = nvme_ctrlr_process_init(ctrlr);

	if (rc != 0) {
		TAILQ_REMOVE(&probe_ctx->init_ctrlrs, ctrlr, tailq);
		SPDK_ERRLOG("Failed to initialize SSD: %s\n", ctrlr->trid.traddr);
		nvme_ctrlr_destruct(ctrlr);
		return rc;
	}
	if (ctrlr->state != NVME_CTRLR_STATE_READY) {
		return 0;
	}

	TAILQ_REMOVE(&probe_ctx->init_ctrlrs, ctrlr, tailq);
	nvme_robust_mutex_lock(&g_spdk_nvme_driver->lock);
	TAILQ_INSERT_TAIL(&g_spdk_nvme_driver->shared_attached_ctrlrs, ctrlr, tailq);
	nvme_ctrlr_proc_get_ref(ctrlr);
	nvme_robust_mutex_unlock(&g_spdk_nvme_driver->lock);

	if (probe_ctx->attach_cb != NULL) {
		probe_ctx->attach_cb(probe_ctx->cb_ctx, &ctrlr->trid, ctrlr, &ctrlr->opts);
	}
	return 0;
}

/* Set from another thread while the process ends: blocking waits and attachments on the worker give up at once. */
static bool g_nvme_waits_abandoned;

void spdk_nvme_abandon_waits(bool abandon)
{
	__atomic_store_n(&g_nvme_waits_abandoned, abandon, __ATOMIC_RELEASE);
}

bool nvme_waits_abandoned(void)
{
	return __atomic_load_n(&g_nvme_waits_abandoned, __ATOMIC_ACQUIRE);
}

int spdk_nvme_probe_poll_async(struct spdk_nvme_probe_ctx *probe_ctx)
{
	struct spdk_nvme_ctrlr *ctrlr, *tmp;
	int rc = 0;

	if (probe_ctx == NULL) {
		return -EINVAL;
	}
	if (!spdk_process_is_primary() && probe_ctx->trid.trtype == SPDK_NVME_TRANSPORT_PCIE) {
		free(probe_ctx);
		return 0;
	}

	TAILQ_FOREACH_SAFE(ctrlr, &probe_ctx->init_ctrlrs, tailq, tmp) {
		if (nvme_waits_abandoned() || nvme_ctrlr_poll_internal(ctrlr, probe_ctx) != 0) {
			rc = -EIO;
			break;
		}
	}
	if (rc == 0 && !TAILQ_EMPTY(&probe_ctx->init_ctrlrs)) {
		return -EAGAIN;
	}

	/* A failed pass leaves no half-initialised controller behind. */
	nvme_probe_ctx_destroy_init_ctrlrs(probe_ctx);
	nvme_robust_mutex_lock(&g_spdk_nvme_driver->lock);
	g_spdk_nvme_driver->initialized = true;
	nvme_robust_mutex_unlock(&g_spdk_nvme_driver->lock);
	free(probe_ctx);
	return rc;
}

void spdk_nvme_probe_abort_async(struct spdk_nvme_probe_ctx *probe_ctx)
{
	if (probe_ctx == NULL) {
		return;
	}
	nvme_probe_ctx_destroy_init_ctrlrs(probe_ctx);
	free(probe_ctx);
}

int spdk_nvme_probe(const struct spdk_nvme_transport_id *trid, void *cb_ctx, spdk_nvme_probe_cb probe_cb,
		    spdk_nvme_attach_cb attach_cb, spdk_nvme_remove_cb remove_cb)
{
	struct spdk_nvme_transport_id trid_pcie;
	struct spdk_nvme_probe_ctx *probe_ctx;
	int rc;

	if (trid == NULL) {
		memset(&trid_pcie, 0, sizeof(trid_pcie));
		trid_pcie.trtype = SPDK_NVME_TRANSPORT_PCIE;
		trid = &trid_pcie;
	}

	probe_ctx = spdk_nvme_probe_async(trid, cb_ctx, probe_cb, attach_cb, remove_cb);
	if (probe_ctx == NULL) {
		SPDK_ERRLOG("Create probe context failed\n");
		return -1;
	}
	do {
		rc = spdk_nvme_probe_poll_async(probe_ctx);
	} while (rc == -EAGAIN);
	return rc;
}

static bool spdk_nvme_connect_probe_cb(void *cb_ctx, const struct spdk_nvme_transport_id *trid,
				       struct spdk_nvme_ctrlr_opts *opts)
{
	const struct spdk_nvme_ctrlr_opts *requested = cb_ctx;

	(void)trid;
	if (requested != NULL) {
		memcpy(opts, requested, sizeof(*opts));
	}
	return true;
}

struct spdk_nvme_probe_ctx *spdk_nvme_connect_async(const struct spdk_nvme_transport_id *trid,
						    const struct spdk_nvme_ctrlr_opts *opts,
						    spdk_nvme_attach_cb attach_cb)
{
	struct spdk_nvme_probe_ctx *probe_ctx;

	if (trid == NULL || nvme_driver_init() != 0) {
		return NULL;
	}
	probe_ctx = nvme_probe_ctx_create(trid, (void *)opts, spdk_nvme_connect_probe_cb, attach_cb, NULL);
	if (probe_ctx == NULL) {
		return NULL;
	}
	return nvme_probe_ctx_scan(probe_ctx, true);
}

struct spdk_nvme_ctrlr *spdk_nvme_connect(const struct spdk_nvme_transport_id *trid,
					  const struct spdk_nvme_ctrlr_opts *opts, size_t opts_size)
{
	struct spdk_nvme_probe_ctx *probe_ctx;
	struct spdk_nvme_ctrlr *ctrlr;
	int rc;

	if (trid == NULL) {
		SPDK_ERRLOG("No transport ID specified\n");
		return NULL;
	}
	if (opts != NULL && opts_size != sizeof(struct spdk_nvme_ctrlr_opts)) {
		SPDK_ERRLOG("Invalid opts size\n");
		return NULL;
	}

	probe_ctx = spdk_nvme_connect_async(trid, opts, NULL);
	if (probe_ctx == NULL) {
		SPDK_ERRLOG("Create probe context failed\n");
		return NULL;
	}
	do {
		rc = spdk_nvme_probe_poll_async(probe_ctx);
	} while (rc == -EAGAIN);

	nvme_robust_mutex_lock(&g_spdk_nvme_driver->lock);
	ctrlr = spdk_nvme_get_ctrlr_by_trid_unsafe(trid);
	nvme_robust_mutex_unlock(&g_spdk_nvme_driver->lock);
	return ctrlr;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Detach                                                                                                           */
/* ---------------------------------------------------------------------------------------------------------------- */

static bool nvme_ctrlr_is_attached_unsafe(struct spdk_nvme_ctrlr *ctrlr)
{
	struct spdk_nvme_ctrlr *it;

	TAILQ_FOREACH(it, &g_spdk_nvme_driver->shared_attached_ctrlrs, tailq) {
		if (it == ctrlr) {
			return true;
		}
	}
	return false;
}

int spdk_nvme_detach(struct spdk_nvme_ctrlr *ctrlr)
{
	if (ctrlr == NULL || g_spdk_nvme_driver == NULL) {
		return 0;
	}

	nvme_robust_mutex_lock(&g_spdk_nvme_driver->lock);
	if (!nvme_ctrlr_is_attached_unsafe(ctrlr)) {
		/* Already torn down (replaced by a later probe); nothing of it is left to release. */
		nvme_robust_mutex_unlock(&g_spdk_nvme_driver->lock);
		SPDK_WARNLOG("Detach of a controller that is not attached\n");
		return 0;
	}
	nvme_ctrlr_proc_put_ref(ctrlr);
	if (nvme_ctrlr_get_ref_count(ctrlr) == 0) {
		TAILQ_REMOVE(&g_spdk_nvme_driver->shared_attached_ctrlrs, ctrlr, tailq);
		nvme_ctrlr_destruct(ctrlr);
	}
	nvme_robust_mutex_unlock(&g_spdk_nvme_driver->lock);
	return 0;
}
