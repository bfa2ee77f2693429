// The stand-in through a TDS client nobody here wrote: tedious, Microsoft's
// JavaScript driver, as SQL Server's own test suites use it. Run by CTest
// with Node.js's test runner; the environment names the stand-in program
// (SQLSERVER_STANDIN) and the node_modules folder scripts/setup-tedious
// installed tedious into (STANDIN_TEDIOUS_MODULES).
'use strict';

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

function load_tedious() {
  const modules = process.env.STANDIN_TEDIOUS_MODULES || '';
  try {
    return require(modules ? path.resolve(modules, 'tedious') : 'tedious');
  } catch (e) {
    throw new Error(`tedious is not installed in '${modules}' (${e.code || e.message}): run scripts/setup-tedious`);
  }
}
const { Connection, Request, TYPES, ISOLATION_LEVEL } = load_tedious();

const fixture = `create database shop
go
use shop
go
create table t_item (item_id int not null primary key, item_name varchar(40) null, code char(4) null,
  price numeric(16,4) null, cost money null, added datetime null, active bit null, born date null,
  note nvarchar(max) null)
go
insert into t_item values (1, '苹果', 'A1', 1.5, 2.25, '2020-01-02 03:04:05.250', 1, '2019-12-31', N'物流')
insert into t_item values (2, 'pear', null, -12.0625, null, null, 0, null, null)
go
create database other
go
`;

// A stand-in of its own on a free port; resolves to { port, stop }.
function start_standin(extra = []) {
  const program = process.env.SQLSERVER_STANDIN;
  assert.ok(program, 'SQLSERVER_STANDIN names the stand-in program');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'standin-tedious-'));
  const file = path.join(dir, 'fixture.sql');
  fs.writeFileSync(file, fixture);
  const child = spawn(program, ['--port', '0', '--fixture', file, ...extra], { stdio: ['ignore', 'pipe', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  return new Promise((resolve, reject) => {
    let out = '';
    const timer = setTimeout(() => reject(new Error(`no "listening on" within 10 s: ${stderr}`)), 10000);
    child.stdout.on('data', (d) => {
      out += d;
      const m = /listening on 127\.0\.0\.1:(\d+)/.exec(out);
      if (!m) return;
      clearTimeout(timer);
      resolve({
        port: Number(m[1]),
        // Resolves to the exit code, 0 when the server ends as it should.
        stop: () => new Promise((done) => {
          child.once('exit', (code) => { fs.rmSync(dir, { recursive: true, force: true }); done(code); });
          child.kill('SIGTERM');
        }),
      });
    });
    child.once('exit', (code) => { clearTimeout(timer); reject(new Error(`stand-in exited (${code}): ${stderr}`)); });
  });
}

function connect(port, options = {}) {
  const connection = new Connection({
    server: '127.0.0.1',
    authentication: { type: 'default', options: { userName: 'velmora', password: 'quorbin' } },
    options: {
      port, database: 'shop', encrypt: false, trustServerCertificate: true, connectTimeout: 5000,
      requestTimeout: 5000, cancelTimeout: 2000, rowCollectionOnRequestCompletion: true, ...options,
    },
  });
  return new Promise((resolve, reject) => {
    connection.on('error', () => {});
    connection.connect((err) => (err ? reject(err) : resolve(connection)));
  });
}

// Runs a batch (or, with params, sp_executesql); resolves to { rows, columns }.
function run(connection, sql, params = [], timeout_ms = 0) {
  return new Promise((resolve, reject) => {
    let columns = [];
    const request = new Request(sql, (err, _count, rows) => (err ? reject(err) : resolve({ rows, columns })));
    if (timeout_ms) request.setTimeout(timeout_ms);
    request.on('columnMetadata', (c) => { columns = c; });
    for (const [name, type, value, opts] of params) request.addParameter(name, type, value, opts);
    if (params.length) connection.execSql(request);
    else connection.execSqlBatch(request);
  });
}
const value = async (connection, sql, params) => (await run(connection, sql, params)).rows[0][0].value;
const close = (connection) => new Promise((done) => { connection.on('end', done); connection.close(); });
const tran = (connection, what, ...args) =>
  new Promise((resolve, reject) => connection[what]((err) => (err ? reject(err) : resolve()), ...args));

describe('the stand-in through tedious', () => {
  let server;
  before(async () => { server = await start_standin(); });
  after(async () => { if (server) assert.equal(await server.stop(), 0, 'the stand-in ends cleanly'); });

  it('logs in at every TDS version from 7.1 to 7.4 and says one version everywhere', async () => {
    for (const version of ['7_1', '7_2', '7_3_B', '7_4']) {
      const c = await connect(server.port, { tdsVersion: version });
      assert.equal(c.config.options.tdsVersion, version, 'LOGINACK answers the version asked for');
      const { rows } = await run(c, 'select @@version, db_name(), item_name, price, note from t_item order by item_id');
      assert.match(rows[0][0].value, /SQL Server 2019 .* 15\.0\.2000\.5/);
      assert.equal(rows[0][1].value, 'shop');
      assert.equal(rows[0][2].value, '苹果');
      assert.equal(rows[0][3].value, 1.5);
      assert.equal(rows[0][4].value, '物流');
      assert.equal(rows[1][4].value, null);
      await close(c);
    }
  });

  it('reads a 5000-character nvarchar(max) parameter back whole at every TDS version, as ntext at 7.1', async () => {
    const long = '数据库版本'.repeat(1000);
    for (const version of ['7_1', '7_2', '7_3_B', '7_4']) {
      const c = await connect(server.port, { tdsVersion: version });
      await run(c, 'update t_item set note = @n where item_id = 2', [['n', TYPES.NVarChar, long]]);
      const { rows, columns } = await run(c, 'select note, len(note) from t_item where item_id = 2');
      assert.equal(columns[0].type.name, version === '7_1' ? 'NText' : 'NVarChar');
      assert.equal(rows[0][1].value, 5000);
      assert.equal(rows[0][0].value.length, 5000);
      assert.equal(rows[0][0].value, long);
      // Sent back through sp_executesql: the value as the engine holds it.
      assert.equal(await value(c, 'select @n', [['n', TYPES.NVarChar, long]]), long);
      await run(c, 'update t_item set note = null where item_id = 2');
      await close(c);
    }
  });

  it('sends each column as its declared type, with precision, scale and collation', async () => {
    const c = await connect(server.port);
    const { rows, columns } = await run(c, 'select * from t_item order by item_id');
    const types = columns.map((col) => col.type.name);
    // Every column goes as its nullable variant (INTN, not INT4).
    assert.deepEqual(types, ['IntN', 'VarChar', 'Char', 'NumericN', 'MoneyN', 'DateTimeN', 'BitN', 'Date', 'NVarChar']);
    assert.equal(columns[1].dataLength, 40);
    assert.equal(columns[1].collation.codepage, 'CP936');
    assert.equal(columns[2].dataLength, 4);
    assert.deepEqual([columns[3].precision, columns[3].scale], [16, 4]);
    assert.equal(columns[8].dataLength, 65535, 'nvarchar(max) goes as PLP');
    const [first, second] = rows.map((r) => r.map((col) => col.value));
    assert.deepEqual(first.slice(0, 5), [1, '苹果', 'A1  ', 1.5, 2.25]);
    assert.equal(first[5].toISOString(), '2020-01-02T03:04:05.250Z');
    assert.equal(first[6], true);
    assert.equal(first[7].toISOString().slice(0, 10), '2019-12-31');
    assert.deepEqual(second.slice(0, 7), [2, 'pear', null, -12.0625, null, null, false]);
    assert.equal(await value(c, "select replicate(N'数', 5000)").then((v) => v.length), 4000);
    await close(c);
  });

  // Each SQL Server the stand-in plays answers in its own newest TDS version
  // at most, and a Chinese varchar arrives right at every version it speaks.
  // (A client asking SQL Server 2000 for more than 7.1 reads the messages
  // before LOGINACK in 7.1 layout, which tedious does not: it asks 7.1 there.)
  it('plays every SQL Server from 2000 to 2022 at each TDS version it speaks', async () => {
    const versions = [
      ['2000', '8.00.2039', '7_1'], ['2005', '9.00.1399.06', '7_2'], ['2008R2', '10.50.1600.1', '7_3_B'],
      ['2012', '11.0.2100.60', '7_4'], ['2014', '12.0.2000.8', '7_4'], ['2016', '13.0.4001.0', '7_4'],
      ['2017', '14.0.1000.169', '7_4'], ['2019', '15.0.2000.5', '7_4'], ['2022', '16.0.1000.6', '7_4'],
    ];
    const order = ['7_1', '7_2', '7_3_A', '7_3_B', '7_4'];
    for (const [name, build, newest] of versions) {
      const played = await start_standin(['--version', name]);
      try {
        const asked = order.slice(0, order.indexOf(newest) + 1);
        if (newest !== '7_1' && newest !== '7_4') asked.push('7_4');
        for (const version of asked) {
          const c = await connect(played.port, { tdsVersion: version });
          const expected = order.indexOf(version) > order.indexOf(newest) ? newest : version;
          assert.equal(c.config.options.tdsVersion, expected, `${name} answers ${version} with ${expected}`);
          const { rows } = await run(c, "select item_name, @@version, serverproperty('ProductVersion') from t_item " +
            'where item_id = 1');
          assert.equal(rows[0][0].value, '苹果', `${name} at ${version}`);
          assert.ok(rows[0][1].value.includes(build), rows[0][1].value);
          assert.equal(rows[0][2].value, build);
          assert.equal(await value(c, 'select item_name from t_item where item_name = @n',
            [['n', TYPES.VarChar, '苹果']]), '苹果', `${name} at ${version}, a varchar parameter`);
          await close(c);
        }
      } finally {
        assert.equal(await played.stop(), 0);
      }
    }
  });

  it('reports errors with their number, state and class and goes on', async () => {
    const c = await connect(server.port);
    await assert.rejects(run(c, 'select * from nowhere'), (e) => {
      assert.equal(e.number, 208);
      assert.equal(e.class, 16);
      assert.equal(e.message, "Invalid object name 'nowhere'.");
      return true;
    });
    await assert.rejects(run(c, 'insert into t_item (item_id) values (1)'), { number: 2627 });
    assert.equal(await value(c, 'select count(*) from t_item'), 2);
    await close(c);
  });

  it('cancels a request held by a lock, and keeps the connection', async () => {
    const holder = await connect(server.port);
    const waiter = await connect(server.port);
    await run(holder, "begin tran update t_item set item_name = 'held' where item_id = 2");
    await assert.rejects(run(waiter, "update t_item set item_name = 'waited' where item_id = 2", [], 400),
      { code: 'ETIMEOUT' });
    assert.equal(await value(waiter, 'select 7'), 7, 'the connection survives the timeout');
    const cancelled = run(waiter, "update t_item set item_name = 'waited' where item_id = 2");
    setTimeout(() => waiter.cancel(), 150);
    await assert.rejects(cancelled, { code: 'ECANCEL' });
    assert.equal(await value(waiter, 'select @@trancount'), 0);
    await run(holder, 'rollback');
    await close(holder);
    await close(waiter);

    const slow = await start_standin(['--delay-ms', '600']);
    try {
      const c = await connect(slow.port);
      await assert.rejects(run(c, 'select 1', [], 200), { code: 'ETIMEOUT' });
      assert.equal(await value(c, 'select 2'), 2);
      await close(c);
    } finally {
      await slow.stop();
    }
  });

  it('runs named transactions and savepoints through Transaction Manager requests', async () => {
    const c = await connect(server.port);
    await tran(c, 'beginTransaction', 'outer', ISOLATION_LEVEL.READ_COMMITTED);
    await run(c, "insert into t_item (item_id, item_name) values (10, 'kept')");
    await tran(c, 'saveTransaction', 'before_11');
    await run(c, "insert into t_item (item_id, item_name) values (11, 'undone')");
    await tran(c, 'rollbackTransaction', 'before_11');
    assert.equal(await value(c, 'select @@trancount'), 1, 'a rollback to a savepoint keeps the transaction');
    await tran(c, 'commitTransaction', 'outer');
    assert.deepEqual((await run(c, 'select item_id from t_item where item_id >= 10')).rows.map((r) => r[0].value), [10]);

    await tran(c, 'beginTransaction', 'second');
    await run(c, 'delete from t_item where item_id = 10');
    await tran(c, 'rollbackTransaction', 'second');
    assert.equal(await value(c, 'select count(*) from t_item where item_id = 10'), 1);
    await run(c, 'delete from t_item where item_id = 10');
    await close(c);
  });

  it('resets the connection as a fresh login has it', async () => {
    const c = await connect(server.port);
    let acknowledged = 0;
    c.on('resetConnection', () => { acknowledged += 1; });
    await run(c, "use other begin tran set nocount on");
    await run(c, "use shop insert into t_item (item_id, item_name) values (20, 'not kept')");
    assert.equal(await value(c, 'select db_name()'), 'shop');
    await run(c, 'use other');
    await tran(c, 'reset');
    assert.equal(acknowledged, 1, 'ENVCHANGE 18 acknowledges the reset');
    const { rows } = await run(c, 'select db_name(), @@trancount');
    assert.deepEqual(rows[0].map((col) => col.value), ['shop', 0]);
    assert.equal(await value(c, 'select count(*) from t_item where item_id = 20'), 0);
    await close(c);
  });

  it('binds RPC parameters of every common type and prepares statements', async () => {
    const c = await connect(server.port);
    const when = new Date(Date.UTC(2021, 4, 6, 7, 8, 9, 120));
    // Into typed columns: what a parameter holds arrives as its value. The
    // datetime goes as DATETIMEOFFSETN, as go-mssqldb sends every time.
    await run(c, `insert into t_item (item_id, item_name, price, cost, added, active, born, note)
                  values (@i, @v, @d, @m, @dto, @b, @day, @n)`, [
      ['i', TYPES.Int, 30], ['v', TYPES.VarChar, '苹果'], ['d', TYPES.Decimal, 12.345, { precision: 10, scale: 3 }],
      ['m', TYPES.Money, 3.5], ['dto', TYPES.DateTimeOffset, when], ['b', TYPES.Bit, true],
      ['day', TYPES.Date, when], ['n', TYPES.NVarChar, '物流'],
    ]);
    const { rows } = await run(c, 'select item_name, price, cost, added, active, born, note from t_item where item_id = 30');
    const got = rows[0].map((col) => col.value);
    assert.deepEqual(got.slice(0, 3), ['苹果', 12.345, 3.5]);
    assert.equal(got[3].toISOString(), '2021-05-06T07:08:09.120Z');
    assert.equal(got[4], true);
    assert.equal(got[5].toISOString().slice(0, 10), '2021-05-06');
    assert.equal(got[6], '物流');
    await run(c, 'delete from t_item where item_id = 30');

    // The newer types the engine keeps as text.
    const texts = (await run(c, 'select @dt2, @t, @g, @bin', [
      ['dt2', TYPES.DateTime2, when], ['t', TYPES.Time, when],
      ['g', TYPES.UniqueIdentifier, '6F9619FF-8B86-D011-B42D-00C04FC964FF'], ['bin', TYPES.VarBinary, Buffer.from([1, 2])],
    ])).rows[0].map((col) => col.value);
    assert.match(texts[0], /^2021-05-06 07:08:09\.12/);
    assert.match(texts[1], /^07:08:09\.12/);
    assert.equal(texts[2], '6F9619FF-8B86-D011-B42D-00C04FC964FF');
    assert.equal(texts[3], 0x0102);

    const prepared = new Request('select @id + 1', () => {});
    prepared.addParameter('id', TYPES.Int);
    await new Promise((resolve) => { prepared.on('prepared', resolve); c.prepare(prepared); });
    assert.ok(Number.isInteger(prepared.handle), 'sp_prepare returns the handle in @handle');
    const answer = await new Promise((resolve, reject) => {
      const out = [];
      prepared.on('row', (cols) => out.push(cols[0].value));
      prepared.once('requestCompleted', () => resolve(out));
      prepared.once('error', reject);
      c.execute(prepared, { id: 41 });
    });
    assert.deepEqual(answer, [42]);
    await close(c);
  });
});
