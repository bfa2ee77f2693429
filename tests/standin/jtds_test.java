// The stand-in through jTDS at TDS 7.1 (its tds=8.0), the client that found
// Chinese varchar garbled and a long nvarchar(max) cut short. Run by CTest in
// Java's source-file mode with Debian's jtds.jar on the class path;
// SQLSERVER_STANDIN names the program, STANDIN_DEMO_FIXTURE the demo database.
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.sql.Connection;
import java.sql.DriverManager;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

public class JtdsTest {
    static String one(Connection c, String sql, String... params) throws Exception {
        try (PreparedStatement p = c.prepareStatement(sql)) {
            for (int i = 0; i < params.length; ++i) p.setString(i + 1, params[i]);
            if (!p.execute()) return null;
            try (ResultSet r = p.getResultSet()) {
                return r.next() ? r.getString(1) : null;
            }
        }
    }

    static void expect(String version, String what, String expected, String got) {
        if (expected.equals(got)) return;
        System.err.println("jtds_test: SQL Server " + version + ": " + what + ": expected " +
                           expected.length() + " characters, got " + (got == null ? "NULL" : got.length() + ": " +
                           got.substring(0, Math.min(got.length(), 20))));
        System.exit(1);
    }

    public static void main(String[] args) throws Exception {
        Class.forName("net.sourceforge.jtds.jdbc.Driver");
        String longText = "数据库版本".repeat(1000);
        for (String version : new String[] {"2000", "2005", "2019"}) {
            Process server = new ProcessBuilder(System.getenv("SQLSERVER_STANDIN"), "--port", "0", "--version",
                                                version, "--fixture", System.getenv("STANDIN_DEMO_FIXTURE"))
                                 .redirectError(ProcessBuilder.Redirect.INHERIT).start();
            try {
                String first = new BufferedReader(new InputStreamReader(server.getInputStream())).readLine();
                Matcher m = Pattern.compile("listening on 127\\.0\\.0\\.1:(\\d+)").matcher(String.valueOf(first));
                expect(version, "the stand-in's first line", "found", m.find() ? "found" : first);
                String url = "jdbc:jtds:sqlserver://127.0.0.1:" + m.group(1) + "/velmora;tds=8.0;loginTimeout=10";
                try (Connection c = DriverManager.getConnection(url, "velmora", "quorbin")) {
                    String name = "select sys_var_name from t_sys_system where sys_var_id = 'DataBase_Version'";
                    expect(version, "a Chinese varchar", "数据库版本", one(c, name));
                    expect(version, "a Chinese varchar parameter", "DataBase_Version",
                           one(c, "select sys_var_id from t_sys_system where sys_var_name = ?", "数据库版本"));
                    one(c, "create table t_long (n nvarchar(max), v varchar(max))");
                    one(c, "insert into t_long values (?, ?)", longText, "进销存" + longText);
                    expect(version, "a 5000-character nvarchar(max)", longText, one(c, "select n from t_long"));
                    expect(version, "its length on the server", "5000", one(c, "select len(n) from t_long"));
                    expect(version, "a varchar(max)", "进销存" + longText, one(c, "select v from t_long"));
                }
            } finally {
                server.destroy();
                server.waitFor();
            }
        }
        System.out.println("jtds_test: SQL Server 2000, 2005 and 2019 read and written right at TDS 7.1");
    }
}
