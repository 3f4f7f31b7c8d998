using System.Windows.Forms;

namespace Canvas
{
    public partial class MainForm : Form
    {
        private readonly REDidIzo.Drawing drawing = new REDidIzo.Drawing();

        public MainForm()
        {
            InitializeComponent();
            drawing.PenColor = 0x0000FF;
            drawing.WMFSaveSize = 4096;
        }
    }
}
