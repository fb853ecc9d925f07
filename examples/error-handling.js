'use strict';
// Error handling and recovery: a command that fails, one that times out (on the simulated drive), and the way back.
//
//   node examples/error-handling.js [PCI address]
//
// Every callback method reports failure as its first argument: an Error whose message says what went wrong; a command
// the drive completed with an error status carries its completion entry in err.data. The command error here is
// injected (nvmeSetErrorInjection), so it happens on a real drive too: the next matching command is held back and
// completed with the given status after the given delay, and the drive never sees it.
const { openDrive, run } = require('./open-drive');

const READ = 0x02;  // NVM opcode

run(async () => {
  // Every command's deadline: 2 s (scanAttachment's argument, in milliseconds).
  const { call, sim } = await openDrive(process.argv[2], { commandTimeoutMs: 2000 });
  // Reads and writes need an I/O queue pair first (qid 1 and up; qid 0 is the admin queue).
  let qid = await call('createQueuePair');

  // 1. A command error: the next read on this queue completes with status type 2, code 81h (unrecovered read error).
  //    Arguments: qid, opcode, do-not-submit, count, delay in microseconds, status code type, status code.
  await call('nvmeSetErrorInjection', qid, READ, true, 1, 0, 2, 0x81);
  try {
    await call('read', 0, 8, { nsid: 1, qid });
  } catch (err) {
    console.log(`read failed: "${err.message}", status type ${err.data.status.sct}, code ${err.data.status.sc}`);
    console.log(`  completion entry: ${JSON.stringify(err.data)}`);
  }
  await call('read', 0, 8, { nsid: 1, qid });
  console.log('the next read succeeds: an error status affects only its own command');

  // 2. A time-out (the simulated drive only: it can be told to swallow a completion). The driver aborts the read at
  //    its deadline with "Command Timed Out", and from then on refuses every call with the same text until the
  //    controller is reset.
  if (sim) {
    sim.dropCompletion({ opcode: READ, count: 1 });
    for (const what of ['swallowed read', 'next read']) {
      try {
        await call('read', 0, 8, { nsid: 1, qid });
        console.log(`${what} succeeded`);
      } catch (err) {
        console.log(`${what} failed: "${err.message}"`);
      }
    }
  }

  // 3. Recovery: a reset re-initialises the controller and drops every I/O queue pair (its qid then fails with
  //    "Invalid Queue ID"); the script creates a new one and goes on.
  await call('resetController');
  try {
    await call('read', 0, 8, { nsid: 1, qid });
  } catch (err) {
    console.log(`after the reset the old queue pair is gone: "${err.message}"`);
  }
  qid = await call('createQueuePair');
  await call('read', 0, 8, { nsid: 1, qid });
  console.log(`recovered: a read on the new queue pair ${qid} succeeds`);
});
