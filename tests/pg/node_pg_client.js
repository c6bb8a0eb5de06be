// A client no one here wrote: Node.js's pg driver, whose event loop writes its
// messages with write and writev. One simple query, one parameterised query (Parse,
// Bind, Execute in one writev), each answer printed.
//   node node_pg_client.js HOST PORT
const { Client } = require('pg');

const [host, port] = process.argv.slice(2);

(async () => {
  const client = new Client({ host, port: Number(port), user: 'postgres', database: 'postgres' });
  await client.connect();
  const simple = await client.query('SELECT 42 AS answer');
  const param = await client.query('SELECT $1::int + 1 AS next', [41]);
  console.log(`answer=${simple.rows[0].answer}`);
  console.log(`next=${param.rows[0].next}`);
  await client.end();
})().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
